// Layout constants of the Jet 3 and Jet 4 formats.
#include "jet/base/format.h"

namespace jet {

namespace {

constexpr FormatInfo kJet3{
    .format = Format::Jet3,
    .page_size = kJet3PageSize,
    .data_row_count_offset = 8,
    .data_first_offset = 10,
    .data_tdef_offset = 4,
    .row_count_size = 1,
    .tdef_row_count_offset = 12,
    .tdef_autonumber_offset = 16,
    .tdef_table_type_offset = 20,
    .tdef_max_cols_offset = 21,
    .tdef_num_var_cols_offset = 23,
    .tdef_num_cols_offset = 25,
    .tdef_num_idx_offset = 27,
    .tdef_num_real_idx_offset = 31,
    .tdef_used_pages_offset = 35,
    .tdef_free_pages_offset = 39,
    .tdef_block_end = 43,
    .real_idx_count_entry_size = 8,
    .column_entry_size = 18,
    .col_type_offset = 0,
    .col_num_offset = 1,
    .col_var_offset = 3,
    .col_misc_offset = 9,
    .col_flags_offset = 13,
    .col_fixed_offset = 14,
    .col_size_offset = 16,
    .name_length_size = 1,
    .real_idx_entry_size = 39,
    .real_idx_prefix = 0,
    .real_idx_flags_offset = 38,
    .logical_idx_entry_size = 20,
    .logical_idx_prefix = 0,
    .usage_map_page_header = 4,
    .header_masked_length = 126,
    .header_sort_order_offset = 0x3A,
    .header_sort_order_size = 2,
    .header_password_length = 20,
};

constexpr FormatInfo kJet4{
    .format = Format::Jet4,
    .page_size = kJet4PageSize,
    .data_row_count_offset = 12,
    .data_first_offset = 14,
    .data_tdef_offset = 4,
    .row_count_size = 2,
    .tdef_row_count_offset = 16,
    .tdef_autonumber_offset = 20,
    .tdef_table_type_offset = 40,
    .tdef_max_cols_offset = 41,
    .tdef_num_var_cols_offset = 43,
    .tdef_num_cols_offset = 45,
    .tdef_num_idx_offset = 47,
    .tdef_num_real_idx_offset = 51,
    .tdef_used_pages_offset = 55,
    .tdef_free_pages_offset = 59,
    .tdef_block_end = 63,
    .real_idx_count_entry_size = 12,
    .column_entry_size = 25,
    .col_type_offset = 0,
    .col_num_offset = 5,
    .col_var_offset = 7,
    .col_misc_offset = 11,
    .col_flags_offset = 15,
    .col_fixed_offset = 21,
    .col_size_offset = 23,
    .name_length_size = 2,
    .real_idx_entry_size = 52,
    .real_idx_prefix = 4,
    .real_idx_flags_offset = 42,
    .logical_idx_entry_size = 28,
    .logical_idx_prefix = 4,
    .usage_map_page_header = 4,
    .header_masked_length = 128,
    .header_sort_order_offset = 0x6E,
    .header_sort_order_size = 2,
    .header_password_length = 40,
};

}  // namespace

const char* file_version_name(FileVersion v) {
    switch (v) {
        case FileVersion::kJet3: return "Jet3";
        case FileVersion::kJet4: return "Jet4";
        case FileVersion::kAce12: return "ACE12";
        case FileVersion::kAce14: return "ACE14";
        case FileVersion::kAce15: return "ACE15";
        case FileVersion::kAce16: return "ACE16";
        case FileVersion::kAce17: return "ACE17";
    }
    return "unknown";
}

const FormatInfo& format_info(Format format) { return format == Format::Jet3 ? kJet3 : kJet4; }

}  // namespace jet
