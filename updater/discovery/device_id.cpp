#include "os_api.h"
