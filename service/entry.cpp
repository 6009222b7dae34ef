// tarnsvc: the service program. Its arguments are ignored; the service
// control manager starts it and calls back into it.
#include "service/service_main.h"

int main(int, char**) { return TarnsvcProcessMain(); }
