// Reader of the layout data files.
//
// A data file describes the records of one layout family. Words are separated by blanks or line
// ends; '#' starts a comment that runs to the end of the line. Positions are bit positions in
// the record's image, bit 0 being the most significant bit of byte 0; numbers are decimal or 0x
// hexadecimal. Statements:
//
//   record NAME size BYTES                  a record; its fields follow, in member order
//   union NAME size BYTES [through MEMBER]  a union record of the largest member's size; its
//                                           pack and unpack go through the member named by
//                                           `through`, without it through its last member
//   end                                     closes the record or union
//
//   field NAME at POS width BITS [count N] [values V=NAME ...]
//       an unsigned field of 1 to 32 or 64 bits; with count, an array whose element 0 is at POS
//       (narrow elements fill each 32-bit word from its most significant end); values name the
//       values that print shows
//   node NAME at POS type RECORD [count N]
//       a nested record (or an array of them) at a byte boundary
//   select NAME at POS type RECORD when SELECTOR is V[,V...]
//       an alternative of the area at POS, handled only while the field SELECTOR holds one of
//       the values; the alternatives of one selector at one position share the area, and pack,
//       unpack and print handle none of them for a value that chooses none
//   pointer NAME at POS width 32 count FIELD/DIV
//       a pointer to FIELD / DIV words, moved from POS on
//   open NAME
//       an array of open length: pack and unpack leave it alone, print names it
//   member NAME type RECORD
//       an alternative of a union, at position 0
//
// Names: a record's or field's NAME stands on the line of its statement word, and there it may
// be any identifier, words of the format included ("field end at 32 width 1" is a field named
// `end`; a lone "end" on a line of its own closes the record). Names after `type`, `when` and
// `count` refer to records and fields and follow the same rule.
#include "layout_model.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace layoutgen {

namespace {

struct Token {
    std::string text;
    int line;
};

std::vector<Token> tokenize(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw LayoutError(path, 0, "cannot read the data file");
    std::vector<Token> tokens;
    std::string text;
    int line_no = 0;
    while (std::getline(in, text)) {
        ++line_no;
        const auto hash = text.find('#');
        if (hash != std::string::npos)
            text.erase(hash);
        std::istringstream words(text);
        std::string word;
        while (words >> word)
            tokens.push_back({word, line_no});
    }
    return tokens;
}

bool is_identifier(const std::string& s)
{
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_'))
        return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

class Parser {
public:
    Parser(Model& model, Family& family) : model_(model), family_(family), tokens_(tokenize(family.path)) {}

    void run()
    {
        while (!at_end()) {
            const Token& t = next();
            if (t.text == "record" || t.text == "union")
                open_record(t);
            else if (t.text == "end")
                close_record(t);
            else if (t.text == "field" || t.text == "node" || t.text == "select" || t.text == "pointer" ||
                     t.text == "open" || t.text == "member")
                add_field(t);
            else
                fail(t.line, "unexpected '" + t.text + "'");
        }
        if (current_)
            fail(current_->line, "record '" + current_->name + "' is not closed by 'end'");
    }

private:
    [[noreturn]] void fail(int line, const std::string& message) const
    {
        throw LayoutError(family_.path, line, message);
    }

    bool at_end() const { return pos_ >= tokens_.size(); }

    const Token& next()
    {
        if (at_end())
            fail(tokens_.empty() ? 0 : tokens_.back().line, "unexpected end of file");
        return tokens_[pos_++];
    }

    bool peek_is(const char* word) const { return !at_end() && tokens_[pos_].text == word; }

    void expect(const char* word)
    {
        const Token& t = next();
        if (t.text != word)
            fail(t.line, std::string("expected '") + word + "', found '" + t.text + "'");
    }

    // A name on the line of the statement word that line_of gives: there any identifier is a
    // name, words of the format included. A name missing at the end of its line is reported as
    // such rather than taking the next line's first word.
    std::string identifier(const char* what, int statement_line)
    {
        if (at_end() || tokens_[pos_].line != statement_line)
            fail(statement_line, std::string("expected ") + what + " at the end of the line");
        const Token& t = next();
        if (!is_identifier(t.text))
            fail(t.line, std::string("expected ") + what + ", found '" + t.text + "'");
        return t.text;
    }

    uint64_t number_text(const std::string& text, int line) const
    {
        if (text.empty())
            fail(line, "expected a number");
        size_t used = 0;
        uint64_t v = 0;
        try {
            v = std::stoull(text, &used, text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text.size() || text[0] == '-' || text[0] == '+')
            fail(line, "'" + text + "' is not a number");
        return v;
    }

    uint32_t number32(const char* what)
    {
        const Token& t = next();
        const uint64_t v = number_text(t.text, t.line);
        if (v > 0xffffffffu)
            fail(t.line, std::string(what) + " " + t.text + " is too large");
        return static_cast<uint32_t>(v);
    }

    void open_record(const Token& t)
    {
        if (current_)
            fail(t.line, "record '" + current_->name + "' is not closed by 'end'");
        auto record = std::make_unique<Record>();
        record->is_union = t.text == "union";
        record->line = t.line;
        record->family = &family_;
        record->name = identifier("a record name", t.line);
        expect("size");
        record->size = number32("size");
        if (record->is_union && peek_is("through") && tokens_[pos_].line == t.line) {
            next();
            record->through = identifier("a member name", t.line);
        }
        if (record->size == 0)
            fail(t.line, "record '" + record->name + "' has size 0");
        if (model_.records.count(record->name))
            fail(t.line, "record '" + record->name + "' is defined twice");
        current_ = record.get();
        model_.records[record->name] = record.get();
        family_.records.push_back(std::move(record));
    }

    void close_record(const Token& t)
    {
        if (!current_)
            fail(t.line, "'end' outside a record");
        current_ = nullptr;
    }

    void add_field(const Token& t)
    {
        if (!current_)
            fail(t.line, "'" + t.text + "' outside a record");
        if (current_->is_union != (t.text == "member"))
            fail(t.line, current_->is_union ? "a union holds only 'member' lines"
                                            : "'member' is allowed only in a union");
        Field f;
        f.line = t.line;
        f.name = identifier("a field name", t.line);
        if (current_->find_field(f.name))
            fail(t.line, "field '" + f.name + "' is defined twice in '" + current_->name + "'");
        if (t.text == "field")
            scalar(f);
        else if (t.text == "node")
            nested(f, FieldKind::Node);
        else if (t.text == "select")
            selected(f);
        else if (t.text == "pointer")
            pointer(f);
        else if (t.text == "open")
            f.kind = FieldKind::Open;
        else
            member(f);
        current_->fields.push_back(std::move(f));
    }

    void scalar(Field& f)
    {
        f.kind = FieldKind::Scalar;
        expect("at");
        f.pos = number32("position");
        expect("width");
        f.width = number32("width");
        if (peek_is("count")) {
            next();
            f.count = number32("count");
            if (f.count == 0)
                fail(f.line, "field '" + f.name + "' has count 0");
        }
        if (peek_is("values")) {
            next();
            while (!at_end() && tokens_[pos_].text.find('=') != std::string::npos)
                named_value(f, next());
            if (f.values.empty())
                fail(f.line, "'values' without a value");
        }
    }

    void named_value(Field& f, const Token& t)
    {
        const auto eq = t.text.find('=');
        NamedValue v;
        v.value = number_text(t.text.substr(0, eq), t.line);
        v.name = t.text.substr(eq + 1);
        if (v.name.empty())
            fail(t.line, "value " + t.text.substr(0, eq) + " of '" + f.name + "' has no name");
        for (char c : v.name)
            if (c == '"' || c == '\\' || !std::isprint(static_cast<unsigned char>(c)))
                fail(t.line, "value name '" + v.name + "' holds a character that print cannot show");
        f.values.push_back(v);
    }

    void nested(Field& f, FieldKind kind)
    {
        f.kind = kind;
        expect("at");
        f.pos = number32("position");
        expect("type");
        f.type = identifier("a record name", f.line);
        if (kind == FieldKind::Node && peek_is("count")) {
            next();
            f.count = number32("count");
            if (f.count == 0)
                fail(f.line, "field '" + f.name + "' has count 0");
        }
    }

    void selected(Field& f)
    {
        nested(f, FieldKind::Select);
        expect("when");
        f.selector = identifier("a selector field", f.line);
        expect("is");
        const Token& t = next();
        size_t start = 0;
        while (start <= t.text.size()) {
            size_t comma = t.text.find(',', start);
            if (comma == std::string::npos)
                comma = t.text.size();
            f.select_values.push_back(number_text(t.text.substr(start, comma - start), t.line));
            start = comma + 1;
        }
    }

    void pointer(Field& f)
    {
        f.kind = FieldKind::Pointer;
        expect("at");
        f.pos = number32("position");
        expect("width");
        f.width = number32("width");
        expect("count");
        const Token& t = next();
        const auto slash = t.text.find('/');
        f.length_field = t.text.substr(0, slash);
        if (!is_identifier(f.length_field))
            fail(t.line, "expected FIELD/DIV after 'count', found '" + t.text + "'");
        if (slash != std::string::npos) {
            const uint64_t div = number_text(t.text.substr(slash + 1), t.line);
            if (div == 0 || div > 0xffffffffu)
                fail(t.line, "the divisor of '" + f.name + "' must be 1 or more");
            f.length_div = static_cast<uint32_t>(div);
        }
    }

    void member(Field& f)
    {
        f.kind = FieldKind::Node;
        f.pos = 0;
        expect("type");
        f.type = identifier("a record name", f.line);
    }

    Model& model_;
    Family& family_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
    Record* current_ = nullptr;
};

}  // namespace

const Field* Record::find_field(const std::string& field_name) const
{
    for (const Field& f : fields)
        if (f.name == field_name)
            return &f;
    return nullptr;
}

const Record* Model::find(const std::string& name) const
{
    const auto it = records.find(name);
    return it == records.end() ? nullptr : it->second;
}

void parse_family(Model& model, const std::string& path)
{
    auto family = std::make_unique<Family>();
    family->path = path;
    std::string base = path.substr(path.find_last_of('/') + 1);
    base = base.substr(0, base.find('.'));
    if (!is_identifier(base))
        throw LayoutError(path, 0, "the file name must be a family name followed by '.layout'");
    for (const auto& other : model.families)
        if (other->name == base)
            throw LayoutError(path, 0, "family '" + base + "' is given twice");
    family->name = base;
    Family& ref = *family;
    model.families.push_back(std::move(family));
    Parser(model, ref).run();
}

}  // namespace layoutgen
