// The firmware's HTTP protocol, its service binding and the IPv4
// configuration, which gnu-efi's headers lack: the GUIDs and layouts the
// UEFI standard gives them (UEFI 2.5 on), only as far as the program calls
// them. The status-code enumeration is numbered by the standard's order of
// members; only the members the program and its tests name are written.
#pragma once

#include "platform/efi.h"

constexpr EFI_GUID kHttpServiceBindingGuid = {
    0xbdc8e6af, 0xd9bc, 0x4379, {0xa7, 0x2a, 0xe0, 0xc4, 0xe7, 0x5d, 0xae, 0x1c}};
constexpr EFI_GUID kHttpGuid = {
    0x7a59b29b, 0x910b, 0x4171, {0x82, 0x42, 0xa8, 0x5a, 0x0d, 0xf2, 0x5b, 0x5b}};
constexpr EFI_GUID kIp4Config2Guid = {
    0x5b446ed1, 0xe30b, 0x4faa, {0x87, 0x1a, 0x36, 0x54, 0xec, 0xa3, 0x60, 0x80}};

// A response that arrived but carries an HTTP error status.
constexpr EFI_STATUS kEfiHttpError = EFIERR(35);

enum EFI_HTTP_VERSION : UINT32 { HttpVersion10, HttpVersion11, HttpVersionUnsupported };
enum EFI_HTTP_METHOD : UINT32 { HttpMethodGet, HttpMethodPost, HttpMethodPatch, HttpMethodOptions,
                                HttpMethodConnect, HttpMethodHead, HttpMethodPut };
enum EFI_HTTP_STATUS_CODE : UINT32 {
  HTTP_STATUS_UNSUPPORTED_STATUS = 0,
  HTTP_STATUS_200_OK = 3,
  HTTP_STATUS_201_CREATED = 4,
  HTTP_STATUS_204_NO_CONTENT = 7,
  HTTP_STATUS_206_PARTIAL_CONTENT = 9,  // the last 2xx member
  HTTP_STATUS_403_FORBIDDEN = 20,
  HTTP_STATUS_500_INTERNAL_SERVER_ERROR = 35,
};

struct EFI_HTTPv4_ACCESS_POINT {
  BOOLEAN UseDefaultAddress;
  EFI_IPv4_ADDRESS LocalAddress;
  EFI_IPv4_ADDRESS LocalSubnet;
  UINT16 LocalPort;
};

struct EFI_HTTP_CONFIG_DATA {
  EFI_HTTP_VERSION HttpVersion;
  UINT32 TimeOutMillisec;
  BOOLEAN LocalAddressIsIPv6;
  union {
    EFI_HTTPv4_ACCESS_POINT* IPv4Node;
    void* IPv6Node;
  } AccessPoint;
};

struct EFI_HTTP_REQUEST_DATA {
  EFI_HTTP_METHOD Method;
  CHAR16* Url;
};

struct EFI_HTTP_RESPONSE_DATA {
  EFI_HTTP_STATUS_CODE StatusCode;
};

struct EFI_HTTP_HEADER {
  CHAR8* FieldName;
  CHAR8* FieldValue;
};

// On a response the driver allocates Headers and each name and value from
// the pool; the caller gives them back.
struct EFI_HTTP_MESSAGE {
  union {
    EFI_HTTP_REQUEST_DATA* Request;
    EFI_HTTP_RESPONSE_DATA* Response;
  } Data;
  UINTN HeaderCount;
  EFI_HTTP_HEADER* Headers;
  UINTN BodyLength;
  VOID* Body;
};

struct EFI_HTTP_TOKEN {
  EFI_EVENT Event;
  EFI_STATUS Status;
  EFI_HTTP_MESSAGE* Message;
};

struct EFI_HTTP_PROTOCOL {
  EFI_STATUS(EFIAPI* GetModeData)(EFI_HTTP_PROTOCOL* self, EFI_HTTP_CONFIG_DATA* data);
  // Null data resets the instance: connections closed, tokens cancelled.
  EFI_STATUS(EFIAPI* Configure)(EFI_HTTP_PROTOCOL* self, EFI_HTTP_CONFIG_DATA* data);
  EFI_STATUS(EFIAPI* Request)(EFI_HTTP_PROTOCOL* self, EFI_HTTP_TOKEN* token);
  EFI_STATUS(EFIAPI* Cancel)(EFI_HTTP_PROTOCOL* self, EFI_HTTP_TOKEN* token);
  EFI_STATUS(EFIAPI* Response)(EFI_HTTP_PROTOCOL* self, EFI_HTTP_TOKEN* token);
  EFI_STATUS(EFIAPI* Poll)(EFI_HTTP_PROTOCOL* self);
};

enum EFI_IP4_CONFIG2_DATA_TYPE : UINT32 { Ip4Config2DataTypeInterfaceInfo, Ip4Config2DataTypePolicy };
enum EFI_IP4_CONFIG2_POLICY : UINT32 { Ip4Config2PolicyStatic, Ip4Config2PolicyDhcp };

// Followed in GetData's buffer by RouteTableSize bytes of routes.
struct EFI_IP4_CONFIG2_INTERFACE_INFO {
  CHAR16 Name[32];
  UINT8 IfType;
  UINT32 HwAddressSize;
  EFI_MAC_ADDRESS HwAddress;
  EFI_IPv4_ADDRESS StationAddress;
  EFI_IPv4_ADDRESS SubnetMask;
  UINT32 RouteTableSize;
  EFI_IP4_ROUTE_TABLE* RouteTable;
};

struct EFI_IP4_CONFIG2_PROTOCOL {
  EFI_STATUS(EFIAPI* SetData)(EFI_IP4_CONFIG2_PROTOCOL* self, EFI_IP4_CONFIG2_DATA_TYPE type, UINTN size,
                              VOID* data);
  EFI_STATUS(EFIAPI* GetData)(EFI_IP4_CONFIG2_PROTOCOL* self, EFI_IP4_CONFIG2_DATA_TYPE type, UINTN* size,
                              VOID* data);
  EFI_STATUS(EFIAPI* RegisterDataNotify)(EFI_IP4_CONFIG2_PROTOCOL* self, EFI_IP4_CONFIG2_DATA_TYPE type,
                                         EFI_EVENT event);
  EFI_STATUS(EFIAPI* UnregisterDataNotify)(EFI_IP4_CONFIG2_PROTOCOL* self, EFI_IP4_CONFIG2_DATA_TYPE type,
                                           EFI_EVENT event);
};
