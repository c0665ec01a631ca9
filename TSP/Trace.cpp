#include "Trace.h"

void Trace(const char*, ...)
{
}
