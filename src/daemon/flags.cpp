#include "daemon/flags.h"

TZELFlags ZELFlags;
std::mutex thread_mutex;
