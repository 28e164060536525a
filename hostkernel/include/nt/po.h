// placeholder: filled in by the po component
#pragma once
#include "nt/ntdef.h"
