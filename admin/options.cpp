// PLACEHOLDER: replaced by the option loop.
#include "admin/nsadmin.h"
extern "C" int AdminMain(int, char **) { return 0; }
