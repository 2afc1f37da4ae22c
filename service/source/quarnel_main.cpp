// Entry of the depth service program.
#include "quarnel_startup.h"

int main() { return ExitStatusFor(RunQuarnel()); }
