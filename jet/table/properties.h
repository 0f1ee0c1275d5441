// Object and column properties as Access keeps them in MSysObjects.LvProp.
//
// The blob is a four-byte signature ("MR2\0" in the Jet 4 layout, "KKD\0"
// in Jet 3), then blocks, each a uint32 length (with its header) and a
// uint16 kind: kind 0x80 is the pool of property names; kinds 0x00..0x02
// are a property set, for the object itself or for one of its columns
// (named at the block's start), whose entries name their property by its
// place in the pool.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jet/base/format.h"
#include "jet/base/value.h"

namespace jet {

class PageFile;
struct TableDef;

struct Property {
    std::string name;
    std::uint8_t type = 0;  // ColumnType of the value
    Bytes value;            // as stored
};

struct PropertySet {
    std::string column;  // empty: the object's own properties
    std::vector<Property> properties;
    const Property* find(std::string_view name) const;
};

// Decodes a LvProp blob; throws jet::Error (naming `object`) when it is damaged.
std::vector<PropertySet> parse_properties(std::span<const std::uint8_t> blob, Format format,
                                          std::string_view object);

// The LvProp blob of the MSysObjects row with this Id (empty when it has none).
Bytes read_object_properties(PageFile& file, std::int32_t object_id);

// Gives each calculated column of `table` its result type from the
// ResultType property of its column (object `object_id`); columns without
// one keep their TDEF type.
void apply_calculated_result_types(PageFile& file, std::int32_t object_id, TableDef& table);

}  // namespace jet
