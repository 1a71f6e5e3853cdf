#include "tev-commons.h"
