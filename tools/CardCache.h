// SPDX-License-Identifier: GPL-3.0-or-later
// Cards written before, kept by the options that wrote them, so that a test run that asks for the
// same card many times encodes it once (ROADEYE_CARD_CACHE names the folder; the test programs
// set it to one of their build's). An entry is the card's files and what roadeye-mkcard printed
// of its recordings; its name is a hash of the options (less the card's folder) and of the
// program's own file (size and modification time), so a rebuilt writer never meets the cards of
// the one before. Entries are written under a temporary name and renamed into place, so that
// writers running at once never see half an entry; a card is only kept when its folder held
// nothing before it was written (a card added to other files is not the options' alone).
#pragma once

#include <string>
#include <vector>

namespace tools {

class CardCache {
 public:
  // A cache in `folder` (nothing is kept when empty) for a card written into `cardDir` by the
  // options `args` (the command line less the program's name).
  CardCache(std::string folder, std::string cardDir, const std::vector<std::string>& args);

  bool Enabled() const { return !entry_.empty(); }

  // Copies the entry's card into the card's folder and gives what was printed; false when there
  // is no entry (or it could not be copied: the card is then written as usual).
  bool Fetch(std::string* printed) const;

  // Keeps the card just written, with what was printed, unless its folder held files before.
  void Store(const std::string& printed) const;

 private:
  std::string folder_, cardDir_, entry_;
  bool cardDirWasEmpty_ = false;
};

}  // namespace tools
