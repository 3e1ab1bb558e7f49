#include "app/Console.h"

// A Linux program keeps the terminal or pipe it was given.
void UseStartingConsole() {}
