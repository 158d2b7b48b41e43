// Pieces shared by the emitters of layoutgen.
#ifndef TOOLS_LAYOUTS_GENERATOR_LAYOUT_EMIT_H
#define TOOLS_LAYOUTS_GENERATOR_LAYOUT_EMIT_H

#include <ostream>
#include <string>
#include <vector>

#include "layout_model.h"

namespace layoutgen {

// The member type of a field of the given width: the narrowest of 8, 16, 32 and 64 bits.
std::string c_type(uint32_t width);
// "struct NAME" or "union NAME".
std::string type_ref(const Record& r);
// A literal of the low width bits set.
std::string mask_literal(uint32_t width);

// The alternatives of one selector at one position form one group, emitted where its first
// alternative stands in member order: whether field index starts its group, and the group's
// alternatives in member order.
bool starts_group(const Record& r, size_t index);
std::vector<const Field*> group_of(const Record& r, const Field& first);

void emit_functions(const Model& model, const Record& r, std::ostream& c);
void emit_tables(const Model& model, const Family& family, std::ostream& c);

}  // namespace layoutgen

#endif
