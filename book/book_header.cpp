#include "book/book_header.h"
