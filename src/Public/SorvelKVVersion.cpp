#include "sorvel/SorvelKVVersion.h"

// Both come from the project version in the build files.
extern "C" {
const double SorvelKVVersionNumber = SORVEL_VERSION_NUMBER;
const unsigned char SorvelKVVersionString[] = SORVEL_VERSION_STRING;
}
