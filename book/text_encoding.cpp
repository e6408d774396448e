#include "book/text_encoding.h"
