#pragma once

#include "sorvel/Export.h"

/// The library's version, readable without calling into the SDK: the number
/// is major.minor; the string is the full SDK version ("2.1.0.1").
extern "C" {
SORVEL_API extern const double SorvelKVVersionNumber;
SORVEL_API extern const unsigned char SorvelKVVersionString[];
}
