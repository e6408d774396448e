// A low stage reaching up: the layer check must refuse it.
#pragma once
#include "upward/high/b.h"
