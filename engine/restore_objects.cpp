// The step after the index rebuild: what a make-table copy leaves behind,
// carried from the source into the new file kind by kind (Access's own
// objects first, for the others hang from their containers; then stored
// queries, linked tables, relationships and properties). An object that
// fails is reported as a failed index is, raises Copy_Err_Flag, and the
// step goes on with the next.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "connect/provider/objects.h"
#include "engine/print_msg.h"
#include "engine/repair_steps.h"

namespace {

void Report_Failures(const std::vector<provider::ObjectFailure>& failures) {
    for (const auto& f : failures) {
        Print_Msg("******** 恢复 %s 出错了 *********", f.object.c_str());
        Copy_Err_Flag = 1;
    }
}

// One kind: its failures, or its whole failure named after the kind.
void Restore_Kind(const char* what, const std::function<std::vector<provider::ObjectFailure>()>& run) {
    try {
        Report_Failures(run());
    } catch (const std::exception&) {
        Print_Msg("******** 恢复 %s 出错了 *********", what);
        Copy_Err_Flag = 1;
    }
}

// The copy between the two files; none (reported, Copy_Err_Flag raised)
// when either cannot be opened.
std::unique_ptr<provider::ObjectCopy> Open_Copy(const char* target, const char* target_password,
                                                const char* source, const char* source_password) {
    try {
        return std::make_unique<provider::ObjectCopy>(source, source_password, target, target_password);
    } catch (const std::exception&) {
        Print_Msg("******** 恢复 %s 出错了 *********", target);
        Copy_Err_Flag = 1;
        return nullptr;
    }
}

void Close_Copy(provider::ObjectCopy& copy, const char* target) {
    try {
        copy.close();
    } catch (const std::exception&) {
        Print_Msg("******** 恢复 %s 出错了 *********", target);
        Copy_Err_Flag = 1;
    }
}

}  // namespace

int Restore_Objects(const char* target, const char* target_password, const char* source,
                    const char* source_password) {
    auto copy = Open_Copy(target, target_password, source, source_password);
    if (!copy) return 1;
    Print_Msg("正在恢复窗体、报表、宏和模块");
    Restore_Kind("窗体、报表、宏和模块", [&] { return copy->access_objects(); });
    Restore_Kind("查询", [&] {
        return copy->queries([](const std::string& name) { Print_Msg("正在恢复查询 %s", name.c_str()); });
    });
    Restore_Kind("链接表", [&] {
        return copy->linked_tables(
            [](const std::string& name) { Print_Msg("正在恢复链接表 %s", name.c_str()); });
    });
    Print_Msg("正在恢复表间关系");
    Restore_Kind("表间关系", [&] { return copy->relationships(); });
    Print_Msg("正在恢复数据库、表、列和查询的属性");
    Restore_Kind("属性", [&] { return copy->properties(); });
    Close_Copy(*copy, target);
    return 1;
}

int Restore_Complex_Data(const char* target, const char* target_password, const char* source,
                         const char* source_password) {
    auto copy = Open_Copy(target, target_password, source, source_password);
    if (!copy) return 1;
    Restore_Kind("复杂数据", [&] { return copy->complex_data(); });
    Close_Copy(*copy, target);
    return 1;
}
