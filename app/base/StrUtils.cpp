#include "StrUtils.h"

namespace StrUtils {

std::vector<std::string> splitStr(const std::string& text, char delimiter)
{
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const std::string::size_type end = text.find(delimiter, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

} // namespace StrUtils
