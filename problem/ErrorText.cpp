// The messages of nested exceptions (ErrorText.h).
#include "rbo/problem/ErrorText.h"

namespace rbo::problem {
namespace {

void CollectMessages(const std::exception& e, std::vector<std::string>& out) {
  const std::string what = e.what();
  bool bRepeated = false;
  for (const std::string& m : out) bRepeated = bRepeated || m.find(what) != std::string::npos;
  if (!bRepeated && !what.empty()) out.push_back(what);
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    CollectMessages(inner, out);
  } catch (...) {
  }
}

}  // namespace

std::vector<std::string> NestedMessages(const std::exception& e) {
  std::vector<std::string> messages;
  CollectMessages(e, messages);
  return messages;
}

}  // namespace rbo::problem
