#include "book/page_list.h"
