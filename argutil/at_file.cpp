// PLACEHOLDER: being written (argument files).
#include "argutil.h"
int rebuild_argv(int*, char***) { return 0; }
int restore_argv(int*, char***, int, char**) { return 0; }
