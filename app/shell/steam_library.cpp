#include "app/shell/steam_library.h"

#include <cctype>
#include <strings.h>

namespace {

// The file is a tree of quoted keys, each followed by a quoted value or a braced block of
// further pairs; "//" starts a comment. Steam writes no unquoted tokens there, but its reader
// accepts them, so this one does too.
class VdfTokens {
public:
    enum class Kind { text, open, close, end, bad };

    explicit VdfTokens(const std::string& text) : text_(text) {}

    Kind next(std::string& token) {
        skipBlanksAndComments();
        if (at_ >= text_.size())
            return Kind::end;
        char c = text_[at_];
        if (c == '{' || c == '}') {
            ++at_;
            return c == '{' ? Kind::open : Kind::close;
        }
        token.clear();
        if (c != '"') {
            while (at_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[at_])) &&
                   text_[at_] != '{' && text_[at_] != '}' && text_[at_] != '"')
                token += text_[at_++];
            return Kind::text;
        }
        for (++at_; at_ < text_.size(); ++at_) {
            c = text_[at_];
            if (c == '"') {
                ++at_;
                return Kind::text;
            }
            if (c == '\\' && at_ + 1 < text_.size()) {
                c = text_[++at_];
                token += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            } else {
                token += c;
            }
        }
        return Kind::bad; // the closing quote is missing
    }

private:
    void skipBlanksAndComments() {
        for (;;) {
            while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
                ++at_;
            if (text_.compare(at_, 2, "//") != 0)
                return;
            at_ = text_.find('\n', at_);
            if (at_ == std::string::npos)
                at_ = text_.size();
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

bool isNumber(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

std::optional<std::vector<std::string>> steamLibraryPaths(const std::string& vdfText) {
    using Kind = VdfTokens::Kind;
    // A file this deep is no libraryfolders.vdf; the limit keeps the key stack small.
    constexpr std::size_t deepest = 16;
    VdfTokens tokens(vdfText);
    std::vector<std::string> keys; // the keys of the open blocks, outermost first
    std::vector<std::string> paths;
    std::string key, value;
    for (;;) {
        Kind kind = tokens.next(key);
        if (kind == Kind::end)
            break;
        if (kind == Kind::close) {
            if (keys.empty())
                return std::nullopt;
            keys.pop_back();
            continue;
        }
        if (kind != Kind::text)
            return std::nullopt;
        kind = tokens.next(value);
        if (kind == Kind::open) {
            if (keys.size() == deepest)
                return std::nullopt;
            keys.push_back(key);
        } else if (kind == Kind::text) {
            bool newForm =
                keys.size() == 2 && isNumber(keys[1]) && ::strcasecmp(key.c_str(), "path") == 0;
            bool oldForm = keys.size() == 1 && isNumber(key);
            if ((newForm || oldForm) && !value.empty())
                paths.push_back(value);
        } else {
            return std::nullopt;
        }
    }
    if (!keys.empty())
        return std::nullopt;
    return paths;
}
