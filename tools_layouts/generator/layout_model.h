// The in-memory form of the layout data files read by layoutgen.
#ifndef TOOLS_LAYOUTS_GENERATOR_LAYOUT_MODEL_H
#define TOOLS_LAYOUTS_GENERATOR_LAYOUT_MODEL_H

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace layoutgen {

// A refusal of the generator: the data file and line it concerns and what is wrong.
class LayoutError : public std::runtime_error {
public:
    LayoutError(const std::string& file, int line, const std::string& message)
        : std::runtime_error(file + ":" + std::to_string(line) + ": error: " + message)
    {
    }
};

struct NamedValue {
    uint64_t value = 0;
    std::string name;
};

enum class FieldKind {
    Scalar,   // a bit field or integer, or an array of them
    Node,     // a nested record, or an array of them
    Select,   // one alternative of an area chosen by a selector field
    Pointer,  // a pointer to a run of 32-bit words whose count another field gives
    Open,     // an array of open length that pack and unpack leave alone
};

struct Field {
    FieldKind kind = FieldKind::Scalar;
    std::string name;
    int line = 0;
    uint32_t pos = 0;    // bit position; element 0's own position for arrays
    uint32_t width = 0;  // bits of one element (Node: filled in from the nested record)
    uint32_t count = 0;  // array elements, 0 for a single field
    std::string type;    // nested record (Node, Select)
    std::vector<NamedValue> values;
    // Select
    std::string selector;
    std::vector<uint64_t> select_values;
    // Pointer
    std::string length_field;
    uint32_t length_div = 1;

    bool is_array() const { return count > 0; }
};

struct Family;

struct Record {
    std::string name;
    bool is_union = false;
    std::string through;  // union: the member that pack and unpack go through, empty for the last
    uint32_t size = 0;   // image bytes
    std::vector<Field> fields;
    int line = 0;
    Family* family = nullptr;

    uint32_t size_bits() const { return size * 8; }
    const Field* find_field(const std::string& field_name) const;
    // Union: the member that pack and unpack go through, the named one or else the last.
    const Field& packed_member() const { return through.empty() ? fields.back() : *find_field(through); }
};

struct Family {
    std::string name;  // file base name: the prefix of the generated files and tables
    std::string path;
    std::vector<std::unique_ptr<Record>> records;
    std::vector<const Family*> uses;  // families whose records this one nests, in include order
};

struct Model {
    std::vector<std::unique_ptr<Family>> families;
    std::map<std::string, Record*> records;  // every record by name

    const Record* find(const std::string& name) const;
};

// Reads one data file into a new family of the model; throws LayoutError.
void parse_family(Model& model, const std::string& path);
// Checks every record of the model, fills in derived widths and the family dependencies,
// and orders each family's records so that nested ones come first; throws LayoutError.
void check_model(Model& model);

// Start offset of a narrow big-endian array as adb2c_calc_array_field_address takes it, from
// element 0's own bit position.
uint32_t narrow_array_start(uint32_t element0_pos, uint32_t width, uint32_t node_bits);
// Bit position of array element i of a field of the record.
uint32_t element_position(const Record& record, const Field& field, uint32_t index);

// Output texts of one generation run, by file name.
using Outputs = std::map<std::string, std::string>;
void emit_family(const Model& model, const Family& family, Outputs& out);
void emit_catalogue(const Model& model, const std::string& catalogue, Outputs& out);

}  // namespace layoutgen

#endif
