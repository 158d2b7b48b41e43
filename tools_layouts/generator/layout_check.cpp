// Checks of the layout model: every refusal of the generator that is not a syntax error.
#include <algorithm>
#include <functional>
#include <set>

#include "adb_to_c_utils.h"
#include "layout_model.h"

namespace layoutgen {

uint32_t narrow_array_start(uint32_t element0_pos, uint32_t width, uint32_t node_bits)
{
    const uint32_t dword_base = element0_pos & ~31u;
    const uint32_t node_width = node_bits < 32 ? node_bits : 32;
    return node_width + 2 * dword_base - width - element0_pos;
}

uint32_t element_position(const Record& record, const Field& field, uint32_t index)
{
    const uint32_t start =
        field.width > 32 ? field.pos : narrow_array_start(field.pos, field.width, record.size_bits());
    return adb2c_calc_array_field_address(start, field.width, static_cast<int>(index), record.size_bits(), 1);
}

namespace {

uint64_t max_value(uint32_t width)
{
    return width >= 64 ? ~0ull : (1ull << width) - 1;
}

class RecordChecker {
public:
    RecordChecker(const Model& model, Record& record)
        : model_(model), record_(record), owner_(record.size_bits(), -1)
    {
    }

    void run()
    {
        if (record_.is_union)
            return check_union();
        for (size_t i = 0; i < record_.fields.size(); ++i) {
            Field& f = record_.fields[i];
            switch (f.kind) {
            case FieldKind::Scalar: check_scalar(f); break;
            case FieldKind::Node: check_node(f); break;
            case FieldKind::Select: check_select(f); break;
            case FieldKind::Pointer: check_pointer(f); break;
            case FieldKind::Open: break;
            }
            occupy(static_cast<int>(i));
        }
        for (const Field& f : record_.fields)
            if (f.kind == FieldKind::Pointer)
                check_pointer_area(f);
    }

private:
    [[noreturn]] void fail(const Field& f, const std::string& message) const
    {
        throw LayoutError(record_.family->path, f.line, message);
    }

    std::string where(const Field& f) const { return "'" + f.name + "' of '" + record_.name + "'"; }

    void check_union()
    {
        if (record_.fields.empty())
            throw LayoutError(record_.family->path, record_.line, "union '" + record_.name + "' has no member");
        if (!record_.through.empty() && !record_.find_field(record_.through))
            throw LayoutError(record_.family->path, record_.line,
                              "union '" + record_.name + "' goes through '" + record_.through + "', not one of its members");
        uint32_t largest = 0;
        for (Field& f : record_.fields) {
            const Record* sub = model_.find(f.type);
            f.width = sub->size_bits();
            if (sub->size > record_.size)
                fail(f, "member " + where(f) + " is " + std::to_string(sub->size) +
                            " bytes, past the end of the union (" + std::to_string(record_.size) + " bytes)");
            largest = std::max(largest, sub->size);
        }
        if (largest != record_.size)
            throw LayoutError(record_.family->path, record_.line,
                              "union '" + record_.name + "' is " + std::to_string(record_.size) +
                                  " bytes, its largest member " + std::to_string(largest));
    }

    void check_width_in_dword(const Field& f)
    {
        if (f.width <= 32 && (f.pos % 32) + f.width > 32)
            fail(f, "element 0 of array " + where(f) + " crosses a dword boundary");
        const int64_t node_width = std::min<uint32_t>(record_.size_bits(), 32);
        if (f.width <= 32 && node_width - f.width - (f.pos % 32) < 0)
            fail(f, "element 0 of array " + where(f) + " ends past the end of the record");
        if (f.width > 32 && f.width % 32)
            fail(f, "elements of array " + where(f) + " are " + std::to_string(f.width) +
                        " bits: wider than 32 bits they must be a multiple of 32");
    }

    void check_scalar(const Field& f)
    {
        if (!((f.width >= 1 && f.width <= 32) || f.width == 64))
            fail(f, "width " + std::to_string(f.width) + " of " + where(f) + " is not 1 to 32 or 64");
        if (f.width == 64 && f.pos % 8)
            fail(f, "64-bit field " + where(f) + " is not on a byte boundary");
        if (f.is_array())
            check_width_in_dword(f);
        std::set<uint64_t> seen_values;
        std::set<std::string> seen_names;
        for (const NamedValue& v : f.values) {
            if (v.value > max_value(f.width))
                fail(f, "value " + std::to_string(v.value) + " (" + v.name + ") does not fit the " +
                            std::to_string(f.width) + " bits of " + where(f));
            if (!seen_values.insert(v.value).second || !seen_names.insert(v.name).second)
                fail(f, "value " + std::to_string(v.value) + " (" + v.name + ") of " + where(f) + " is named twice");
        }
    }

    void check_node(Field& f)
    {
        f.width = model_.find(f.type)->size_bits();
        if (f.pos % 8)
            fail(f, "nested record " + where(f) + " is not on a byte boundary");
        if (f.is_array())
            check_width_in_dword(f);
    }

    void check_select(Field& f)
    {
        f.width = model_.find(f.type)->size_bits();
        if (f.pos % 8)
            fail(f, "nested record " + where(f) + " is not on a byte boundary");
        const Field* sel = record_.find_field(f.selector);
        if (!sel)
            fail(f, "unknown selector field '" + f.selector + "' for " + where(f));
        if (sel->kind != FieldKind::Scalar || sel->is_array() || sel->width > 32)
            fail(f, "selector '" + f.selector + "' of " + where(f) + " is not a single field of 32 bits or less");
        for (uint64_t v : f.select_values) {
            bool named = sel->values.empty();
            for (const NamedValue& nv : sel->values)
                named = named || nv.value == v;
            if (v > max_value(sel->width) || !named)
                fail(f, "unknown selector value " + std::to_string(v) + " of '" + f.selector + "' for " + where(f));
            // Each alternative is compared with those before it, so the later line is named.
            for (const Field& other : record_.fields) {
                if (&other == &f)
                    break;
                if (other.kind != FieldKind::Select || other.selector != f.selector)
                    continue;
                if (std::find(other.select_values.begin(), other.select_values.end(), v) != other.select_values.end())
                    fail(f, "selector value " + std::to_string(v) + " of '" + f.selector + "' chooses both '" +
                                other.name + "' and '" + f.name + "'");
            }
        }
    }

    void check_pointer(const Field& f)
    {
        if (f.width != 32)
            fail(f, "pointer " + where(f) + " must have 32-bit elements");
        if (f.pos % 32 || f.pos > record_.size_bits())
            fail(f, "pointer " + where(f) + " must start at a dword boundary inside or at the end of the record");
        const Field* len = record_.find_field(f.length_field);
        if (!len || len->kind != FieldKind::Scalar || len->is_array())
            fail(f, "unknown length field '" + f.length_field + "' for " + where(f));
    }

    // The pointer's words run from its position on: no fixed field may lie there.
    void check_pointer_area(const Field& f)
    {
        for (uint32_t bit = f.pos; bit < owner_.size(); ++bit)
            if (owner_[bit] >= 0)
                fail(f, "field '" + record_.fields[owner_[bit]].name + "' overlaps pointer " + where(f));
    }

    // Two alternatives of one selector at one position share their area.
    bool shares_area(const Field& a, const Field& b) const
    {
        return a.kind == FieldKind::Select && b.kind == FieldKind::Select && a.selector == b.selector && a.pos == b.pos;
    }

    void claim(int index, uint32_t begin, uint32_t width)
    {
        const Field& f = record_.fields[index];
        const uint64_t end = static_cast<uint64_t>(begin) + width;
        if (end > record_.size_bits())
            fail(f, where(f) + " ends at bit " + std::to_string(end) + ", past the end of the record (" +
                        std::to_string(record_.size_bits()) + " bits)");
        for (uint32_t bit = begin; bit < end; ++bit) {
            const int prev = owner_[bit];
            if (prev >= 0 && prev != index && !shares_area(record_.fields[prev], f))
                fail(f, "field " + where(f) + " overlaps field '" + record_.fields[prev].name + "' at bit " +
                            std::to_string(bit));
            if (prev == index)
                fail(f, "elements of array " + where(f) + " overlap at bit " + std::to_string(bit));
            owner_[bit] = index;
        }
    }

    void occupy(int index)
    {
        const Field& f = record_.fields[index];
        if (f.kind == FieldKind::Pointer || f.kind == FieldKind::Open)
            return;
        if (!f.is_array())
            return claim(index, f.pos, f.width);
        for (uint32_t i = 0; i < f.count; ++i) {
            const uint32_t at = element_position(record_, f, i);
            claim(index, at, f.width);
            if (f.kind == FieldKind::Node && at % 8)
                fail(f, "element " + std::to_string(i) + " of nested array " + where(f) + " is not on a byte boundary");
        }
    }

    const Model& model_;
    Record& record_;
    std::vector<int> owner_;  // field index owning each bit of the image, -1 when reserved
};

void resolve_types(const Model& model, Record& record)
{
    for (const Field& f : record.fields) {
        if (f.kind != FieldKind::Node && f.kind != FieldKind::Select)
            continue;
        if (!model.find(f.type))
            throw LayoutError(record.family->path, f.line,
                              "unknown nested record '" + f.type + "' for '" + f.name + "' of '" + record.name + "'");
    }
}

void check_recursion(const Model& model)
{
    std::map<const Record*, int> state;  // 1 on the path, 2 done
    std::function<void(const Record*)> visit = [&](const Record* r) {
        state[r] = 1;
        for (const Field& f : r->fields) {
            const Record* sub = f.type.empty() ? nullptr : model.find(f.type);
            if (!sub)
                continue;
            if (state[sub] == 1)
                throw LayoutError(r->family->path, f.line, "record '" + r->name + "' contains itself through '" + f.name + "'");
            if (state[sub] == 0)
                visit(sub);
        }
        state[r] = 2;
    };
    for (const auto& family : model.families)
        for (const auto& r : family->records)
            if (state[r.get()] == 0)
                visit(r.get());
}

// Nested records of the same family come before the records that hold them.
void order_records(const Model& model, Family& family)
{
    std::vector<std::unique_ptr<Record>> ordered;
    std::set<const Record*> placed;
    std::map<const Record*, std::unique_ptr<Record>*> slot;
    for (auto& r : family.records)
        slot[r.get()] = &r;
    std::function<void(const Record*)> place = [&](const Record* r) {
        if (!placed.insert(r).second)
            return;
        for (const Field& f : r->fields) {
            const Record* sub = f.type.empty() ? nullptr : model.find(f.type);
            if (sub && sub->family == &family)
                place(sub);
        }
        ordered.push_back(std::move(*slot[r]));
    };
    std::vector<const Record*> original;
    for (const auto& r : family.records)
        original.push_back(r.get());
    for (const Record* r : original)
        place(r);
    family.records = std::move(ordered);
}

void link_families(const Model& model)
{
    for (const auto& family : model.families)
        for (const auto& r : family->records)
            for (const Field& f : r->fields) {
                const Record* sub = f.type.empty() ? nullptr : model.find(f.type);
                if (sub && sub->family != family.get() &&
                    std::find(family->uses.begin(), family->uses.end(), sub->family) == family->uses.end())
                    family->uses.push_back(sub->family);
            }
    std::map<const Family*, int> state;
    std::function<void(const Family*)> visit = [&](const Family* fam) {
        state[fam] = 1;
        for (const Family* used : fam->uses) {
            if (state[used] == 1)
                throw LayoutError(fam->path, 0, "families '" + fam->name + "' and '" + used->name + "' nest each other's records");
            if (state[used] == 0)
                visit(used);
        }
        state[fam] = 2;
    };
    for (const auto& family : model.families)
        if (state[family.get()] == 0)
            visit(family.get());
}

}  // namespace

void check_model(Model& model)
{
    for (auto& family : model.families)
        for (auto& r : family->records)
            resolve_types(model, *r);
    check_recursion(model);
    for (auto& family : model.families)
        for (auto& r : family->records)
            RecordChecker(model, *r).run();
    link_families(model);
    for (auto& family : model.families)
        order_records(model, *family);
}

}  // namespace layoutgen
