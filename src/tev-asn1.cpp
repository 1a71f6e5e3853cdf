#include "tev-asn1.h"
