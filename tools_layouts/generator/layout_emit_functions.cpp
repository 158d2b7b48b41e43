// Emits the pack, unpack, print, size and dump functions of one record.
#include <sstream>

#include "layout_emit.h"

namespace layoutgen {

namespace {

const char* const kIndent = "    adb2c_add_indentation(fd, indent_level);\n";

class FunctionEmitter {
public:
    FunctionEmitter(const Model& model, const Record& r, std::ostream& c) : model_(model), r_(r), c_(c) {}

    void run()
    {
        emit_enum_names();
        if (r_.is_union)
            emit_union();
        else
            emit_record();
        c_ << "unsigned int " << r_.name << "_size(void)\n{\n    return " << r_.size << ";\n}\n\n"
           << "void " << r_.name << "_dump(const " << type_ref(r_) << "* ptr_struct, FILE* fd)\n{\n    "
           << r_.name << "_print(ptr_struct, fd, 0);\n}\n\n";
    }

private:
    const Record& sub(const Field& f) const { return *model_.find(f.type); }

    std::string enum_fn(const Field& f) const { return "enum_name_" + r_.name + "__" + f.name; }

    // "%s (0x%x)" style names of the values of every field that has them.
    void emit_enum_names()
    {
        for (const Field& f : r_.fields) {
            if (f.values.empty())
                continue;
            c_ << "static const char* " << enum_fn(f) << "(uint64_t value)\n{\n    switch (value) {\n";
            for (const NamedValue& v : f.values)
                c_ << "    case " << v.value << "ull:\n        return \"" << v.name << "\";\n";
            c_ << "    default:\n        return \"unknown\";\n    }\n}\n\n";
        }
    }

    // A union's pack and unpack go through one member only (the named one, else the last);
    // print shows every member.
    void emit_union()
    {
        const std::string t = type_ref(r_);
        const Field& last = r_.packed_member();
        const std::string name = sub(last).name;
        c_ << "void " << r_.name << "_pack(const " << t << "* ptr_struct, uint8_t* ptr_buff)\n{\n    " << name
           << "_pack(&ptr_struct->" << last.name << ", ptr_buff);\n}\n\n";
        c_ << "void " << r_.name << "_unpack(" << t << "* ptr_struct, const uint8_t* ptr_buff)\n{\n    " << name
           << "_unpack(&ptr_struct->" << last.name << ", ptr_buff);\n}\n\n";
        c_ << "void " << r_.name << "_print(const " << t << "* ptr_struct, FILE* fd, int indent_level)\n{\n";
        emit_header_line();
        for (const Field& f : r_.fields)
            emit_nested_print(f, "ptr_struct->" + f.name, "\"" + f.name + ":\\n\"");
        c_ << "}\n\n";
    }

    void emit_record()
    {
        const std::string t = type_ref(r_);
        std::ostringstream pack, unpack, unpack_late, print;
        for (size_t i = 0; i < r_.fields.size(); ++i) {
            const Field& f = r_.fields[i];
            switch (f.kind) {
            case FieldKind::Scalar:
                emit_scalar(f, pack, unpack, print);
                break;
            case FieldKind::Node:
                emit_node(f, pack, unpack, print);
                break;
            case FieldKind::Select:
                if (starts_group(r_, i))
                    emit_select(f, pack, unpack_late, print);
                break;
            case FieldKind::Pointer:
                emit_pointer(f, pack, unpack_late, print);
                break;
            case FieldKind::Open:
                print << kIndent << "    fprintf(fd, \"unlimited array subnode: (" << f.name << ")\\n\");\n";
                break;
            }
        }
        const std::string unused = "    (void)ptr_struct;\n    (void)ptr_buff;\n";
        c_ << "void " << r_.name << "_pack(const " << t << "* ptr_struct, uint8_t* ptr_buff)\n{\n"
           << (pack.str().empty() ? unused : pack.str()) << "}\n\n";
        // Selected areas and pointer data depend on other fields: they are read after every field.
        const std::string all_unpack = unpack.str() + unpack_late.str();
        c_ << "void " << r_.name << "_unpack(" << t << "* ptr_struct, const uint8_t* ptr_buff)\n{\n"
           << (all_unpack.empty() ? unused : all_unpack) << "}\n\n";
        c_ << "void " << r_.name << "_print(const " << t << "* ptr_struct, FILE* fd, int indent_level)\n{\n";
        emit_header_line();
        c_ << (print.str().empty() ? "    (void)ptr_struct;\n" : print.str()) << "}\n\n";
    }

    void emit_header_line()
    {
        c_ << kIndent << "    fprintf(fd, \"======== " << r_.name << " ========\\n\");\n";
    }

    static std::string push(uint32_t width, bool aligned, const std::string& offset, const std::string& value)
    {
        if (width == 64)
            return "adb2c_push_integer_to_buff(ptr_buff, " + offset + ", 8, " + value + ");";
        if (width == 32 && aligned)
            return "adb2c_push_integer_to_buff(ptr_buff, " + offset + ", 4, " + value + ");";
        return "adb2c_push_bits_to_buff(ptr_buff, " + offset + ", " + std::to_string(width) +
               ", static_cast<uint32_t>(" + value + "));";
    }

    static std::string pop(uint32_t width, bool aligned, const std::string& offset, const std::string& target)
    {
        if (width == 64)
            return target + " = adb2c_pop_integer_from_buff(ptr_buff, " + offset + ", 8);";
        if (width == 32 && aligned)
            return target + " = static_cast<uint32_t>(adb2c_pop_integer_from_buff(ptr_buff, " + offset + ", 4));";
        return target + " = static_cast<" + c_type(width) + ">(adb2c_pop_bits_from_buff(ptr_buff, " + offset + ", " +
               std::to_string(width) + "));";
    }

    // One print line: the name padded to 20 columns, " : " and the value (with its name, if any).
    // For an array element it is the "NAME_%03d" pattern that is padded to 20 columns, and the
    // pattern is one character longer than the name it prints, so the printed name takes 19
    // columns ("member_mask_000     : 0x0000000f").
    void print_line(std::ostream& print, const Field& f, const std::string& name, const std::string& value,
                    const std::string& pad) const
    {
        const std::string width = f.is_array() ? "%-19s" : "%-20s";
        const std::string conv = f.width == 64 ? "0x%016\" PRIx64 \"" : f.width == 32 ? "0x%08x" : "0x%x";
        const std::string arg =
            f.width == 64 ? "static_cast<uint64_t>(" + value + ")" : "static_cast<unsigned>(" + value + ")";
        print << pad << kIndent << pad;
        if (f.values.empty())
            print << "    fprintf(fd, \"" << width << " : " << conv << "\\n\", " << name << ", " << arg << ");\n";
        else
            print << "    fprintf(fd, \"" << width << " : %s (" << conv << ")\\n\", " << name << ", " << enum_fn(f) << "(" << value
                  << "), " << arg << ");\n";
    }

    std::string loop_head(const Field& f) const
    {
        return "    for (int i = 0; i < " + std::to_string(f.count) + "; ++i) {\n";
    }

    std::string element_offset(const Field& f) const
    {
        const uint32_t start = f.width > 32 ? f.pos : narrow_array_start(f.pos, f.width, r_.size_bits());
        return "        const uint32_t offset = adb2c_calc_array_field_address(" + std::to_string(start) + ", " +
               std::to_string(f.width) + ", i, " + std::to_string(r_.size_bits()) + ", 1);\n";
    }

    std::string index_name(const Field& f, const std::string& suffix) const
    {
        const std::string size = std::to_string(f.name.size() + suffix.size() + 16);
        return "        char name[" + size + "];\n        snprintf(name, sizeof(name), \"" + f.name + suffix +
               "_%03d\", i);\n";
    }

    void emit_scalar(const Field& f, std::ostream& pack, std::ostream& unpack, std::ostream& print) const
    {
        const std::string member = "ptr_struct->" + f.name;
        if (!f.is_array()) {
            const std::string at = std::to_string(f.pos);
            pack << "    " << push(f.width, f.pos % 8 == 0, at, member) << "\n";
            unpack << "    " << pop(f.width, f.pos % 8 == 0, at, member) << "\n";
            print_line(print, f, "\"" + f.name + "\"", member, "");
            return;
        }
        // Wide and 32-bit elements always start on a byte boundary: their array is dword aligned.
        const std::string element = member + "[i]";
        pack << loop_head(f) << element_offset(f) << "        " << push(f.width, true, "offset", element) << "\n    }\n";
        unpack << loop_head(f) << element_offset(f) << "        " << pop(f.width, true, "offset", element) << "\n    }\n";
        print << loop_head(f) << index_name(f, "");
        print_line(print, f, "name", element, "    ");
        print << "    }\n";
    }

    void emit_nested_print(const Field& f, const std::string& member, const std::string& label)
    {
        c_ << kIndent << "    fprintf(fd, " << label << ");\n    " << sub(f).name << "_print(&" << member
           << ", fd, indent_level + 1);\n";
    }

    void emit_node(const Field& f, std::ostream& pack, std::ostream& unpack, std::ostream& print) const
    {
        const std::string name = sub(f).name;
        const std::string member = "ptr_struct->" + f.name;
        if (!f.is_array()) {
            const std::string at = "ptr_buff + " + std::to_string(f.pos / 8);
            pack << "    " << name << "_pack(&" << member << ", " << at << ");\n";
            unpack << "    " << name << "_unpack(&" << member << ", " << at << ");\n";
            print << kIndent << "    fprintf(fd, \"" << f.name << ":\\n\");\n    " << name << "_print(&" << member
                  << ", fd, indent_level + 1);\n";
            return;
        }
        pack << loop_head(f) << element_offset(f) << "        " << name << "_pack(&" << member
             << "[i], ptr_buff + offset / 8);\n    }\n";
        unpack << loop_head(f) << element_offset(f) << "        " << name << "_unpack(&" << member
               << "[i], ptr_buff + offset / 8);\n    }\n";
        print << loop_head(f) << "    " << kIndent << "        fprintf(fd, \"" << f.name << "_%03d:\\n\", i);\n        "
              << name << "_print(&" << member << "[i], fd, indent_level + 1);\n    }\n";
    }

    // One switch over the selector per group of alternatives; a value without one does nothing.
    void emit_select(const Field& first, std::ostream& pack, std::ostream& unpack, std::ostream& print) const
    {
        const Field* selector = r_.find_field(first.selector);
        const std::string sel = "ptr_struct->" + first.selector;
        std::ostringstream p, u, pr;
        for (const Field* alt : group_of(r_, first)) {
            std::string cases;
            for (uint64_t v : alt->select_values)
                cases += "    case " + std::to_string(v) + ":\n";
            const std::string name = sub(*alt).name;
            const std::string at = "ptr_buff + " + std::to_string(alt->pos / 8);
            p << cases << "        " << name << "_pack(&ptr_struct->" << alt->name << ", " << at << ");\n        break;\n";
            u << cases << "        " << name << "_unpack(&ptr_struct->" << alt->name << ", " << at
              << ");\n        break;\n";
            pr << cases << "    " << kIndent << "        fprintf(fd, \"" << alt->name << ":\\n\");\n        " << name
               << "_print(&ptr_struct->" << alt->name << ", fd, indent_level + 1);\n        break;\n";
        }
        const std::string tail = "    default:\n        break;\n    }\n";
        // Pack chooses by the value the image will hold: the selector cut to its width.
        pack << "    switch (static_cast<uint64_t>(" << sel << ") & " << mask_literal(selector->width) << ") {\n"
             << p.str() << tail;
        unpack << "    switch (" << sel << ") {\n" << u.str() << tail;
        print << "    switch (" << sel << ") {\n" << pr.str() << tail;
    }

    void emit_pointer(const Field& f, std::ostream& pack, std::ostream& unpack, std::ostream& print) const
    {
        const Field* len = r_.find_field(f.length_field);
        const std::string member = "ptr_struct->" + f.name;
        const std::string words = "(static_cast<uint64_t>(ptr_struct->" + f.length_field + ") & " +
                                  mask_literal(len->width) + ") / " + std::to_string(f.length_div);
        const std::string head = "    if (" + member + ") {\n        const uint64_t words = " + words +
                                 ";\n        for (uint64_t i = 0; i < words; ++i) {\n";
        const std::string at = std::to_string(f.pos) + " + 32 * static_cast<uint32_t>(i)";
        pack << head << "            adb2c_push_integer_to_buff(ptr_buff, " << at << ", 4, " << member
             << "[i]);\n        }\n    }\n";
        unpack << head << "            " << member << "[i] = static_cast<uint32_t>(adb2c_pop_integer_from_buff(ptr_buff, "
               << at << ", 4));\n        }\n    }\n";
        print << head << "        char name[" << f.name.size() + 32 << "];\n        snprintf(name, sizeof(name), \""
              << f.name << "_%03\" PRIu64, i);\n        " << kIndent << "            fprintf(fd, \"%-19s : 0x%08x\\n\", name, "
              << member << "[i]);\n        }\n    }\n";
    }

    const Model& model_;
    const Record& r_;
    std::ostream& c_;
};

}  // namespace

void emit_functions(const Model& model, const Record& r, std::ostream& c)
{
    FunctionEmitter(model, r, c).run();
}

}  // namespace layoutgen
