// nsadmin: the name service's administration tool.
#include <cstdlib>

#include "nsadmin.h"

int main(int argc, char **argv) { std::exit(AdminMain(argc, argv)); }
