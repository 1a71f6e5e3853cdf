#include "biginteger.h"
