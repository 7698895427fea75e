#if defined(_WIN32)
#include "platform/platform.h"
// Windows side: filled in with the batch jobs.
#endif
