// Field types, field definitions and the fields-file loader.
#include "reports/fields.h"
