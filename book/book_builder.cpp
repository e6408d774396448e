#include "book/book_builder.h"
