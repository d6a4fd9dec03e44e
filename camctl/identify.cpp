#include "KivoFWSW.h"
