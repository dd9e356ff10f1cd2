// libefivar's and libefiboot's headers carry no extern "C" of their own.
#pragma once

extern "C" {
#include <efivar/efivar.h>
#include <efivar/efiboot.h>
}
