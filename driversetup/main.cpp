// Tandemset.exe: a console program, started once with administrator rights.
#include "tandemset.h"

int wmain() { return RunTandemset(Os()); }
