#include "id_text.h"
