// The text of a failure for a face of the layer (the command, the Python
// module): the messages of an exception and of those nested in it.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace rbo::problem {

/// The message of e and of the exceptions nested in it, outermost first,
/// leaving out those whose text an outer message already contains.
std::vector<std::string> NestedMessages(const std::exception& e);

}  // namespace rbo::problem
