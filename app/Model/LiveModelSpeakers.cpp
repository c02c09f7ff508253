#include "app/Model/LiveModel.h"

namespace veltovoice {

const std::vector<std::string>& LiveModel::speakerLetters() {
  static const std::vector<std::string> letters = {"A", "B", "C", "D"};
  return letters;
}

}  // namespace veltovoice
