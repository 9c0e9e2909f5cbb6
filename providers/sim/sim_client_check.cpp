// Compiles sim_client.h on its own, with the project's warnings.
#include "sim_client.h"
