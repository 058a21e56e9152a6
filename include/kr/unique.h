// Unique ids.
#pragma once

struct UniqueId {
  unsigned char bytes[16];
};
