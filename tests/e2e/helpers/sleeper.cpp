// sleeper: stands in for a running program. It does nothing until another
// process ends it; the end-to-end tests copy it under the names of the
// product's programs (Zentrivo.exe, MsgSys.exe, ...) so that the remover finds
// them running.
//
//   sleeper.exe          (no arguments; any are ignored)
#include <windows.h>

int wmain() {
    for (;;) Sleep(INFINITE);
}
