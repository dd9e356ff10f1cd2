#include "record/boot_report.h"

#include "output/format.h"
#include "platform/boot_server.h"
#include "record/run_record.h"
#include "text/text.h"

namespace {

constexpr char kResultsFolder[] = "pellory-results/";
constexpr char kUnknownTime[] = "unknown-time";

// "2026-12-08T12:00:00" as "20261208T120000": digits and the T, safe in a
// URL and in any server's file names.
void KeepStartStamp(const char* time) {
  char* stamp = gRunRecord.startStamp;
  UINTN n = 0;
  for (; *time != 0 && n + 1 < sizeof gRunRecord.startStamp; time++)
    if (*time != '-' && *time != ':') stamp[n++] = *time;
  stamp[n] = 0;
  if (n == 0) FormatString(stamp, sizeof gRunRecord.startStamp, "%s", kUnknownTime);
}

// An HTTP boot's URI up to its last '/', query and fragment cut first; a
// PXE boot's server by its address.
void PutFolder(BootServer* server, text::Writer<char>* url) {
  char* uri = server->bootUri;
  if (uri[0] == 0) {
    const UINT8* a = server->pxeServer;
    char base[sizeof "http://255.255.255.255/"];
    FormatString(base, sizeof base, "http://%u.%u.%u.%u/", a[0], a[1], a[2], a[3]);
    text::Put(url, base);
    return;
  }
  UINTN end = 0;
  while (uri[end] != 0 && uri[end] != '?' && uri[end] != '#') end++;
  while (end > 0 && uri[end - 1] != '/') end--;
  uri[end] = 0;
  text::Put(url, uri);
}

}  // namespace

bool SendToBootServer(const char* time, const char* bytes, UINTN size) {
  if (gRunRecord.startStamp[0] == 0) KeepStartStamp(time);
  BootServer server;
  if (!BootServerFind(&server)) return false;
  char url[kBootUriMax];
  text::Writer<char> out = text::WriterOn(url, sizeof url - 1);
  PutFolder(&server, &out);
  text::Put(&out, kResultsFolder);
  char name[sizeof "001122334455-" + sizeof gRunRecord.startStamp + sizeof ".txt"];
  const UINT8* m = server.mac;
  FormatString(name, sizeof name, "%02x%02x%02x%02x%02x%02x-%s.txt", m[0], m[1], m[2], m[3], m[4], m[5],
               gRunRecord.startStamp);
  text::Put(&out, name);
  url[out.used] = 0;
  return out.fits && BootServerPut(server, url, bytes, size);
}
