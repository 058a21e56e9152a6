// Stanza files: titled stanzas of keys, each key with one or more values.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct StnzKey {
  std::string name;
  std::vector<std::string> values;
};

struct Stanza {
  std::string title;
  std::vector<StnzKey> keys;
};

struct StanzaList {
  std::vector<std::unique_ptr<Stanza>> stanzas;
};
