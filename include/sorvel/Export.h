#pragma once

// Symbols marked SORVEL_API are the only ones libsorvelkv exports; everything
// else is compiled with hidden visibility.
#if defined(SORVEL_BUILDING_LIBRARY)
#define SORVEL_API __attribute__((visibility("default")))
#else
#define SORVEL_API
#endif
