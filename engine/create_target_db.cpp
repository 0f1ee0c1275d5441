// First step of a run: a new, empty database at the target path, with the
// source's password, made through the provider's catalog.
#include <cstdio>
#include <exception>
#include <string>

#include "connect/provider/catalog.h"
#include "engine/print_msg.h"
#include "engine/repair_steps.h"
#include "stdclass/cpp/err/thr_err.h"

std::string Target_Format_Properties(const Target_Db_Format& format) {
    if (format.ace_version == 0) return {};
    std::string keys = "Jet OLEDB:File Version=" + std::to_string(format.ace_version) + ";";
    if (format.sort_order != 0) {
        keys += "Locale Identifier=" + std::to_string(format.sort_order) + ";";
    }
    keys += "Jet OLEDB:Sort Order Version=" + std::to_string(format.sort_order_version) + ";";
    return keys;
}

int Create_Target_Db(const char* target, const char* password, const Target_Db_Format& format) {
    provider::Catalog catalog;
    char conn_str[CREATE_CONN_STR_SIZE];
    int n = std::snprintf(
        conn_str, sizeof conn_str,
        "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=%s;Data Source=%s", password,
        target);
    if (n < 0 || n >= CREATE_CONN_STR_SIZE) {
        // The template takes 74 bytes of the string; the run's fields never
        // reach this, a caller with longer texts does.
        Print_Msg("目标数据库文件名和密码合计超过%d字节，无法创建", CREATE_CONN_STR_SIZE - 75);
        Print_Msg("创建目标数据库(%s)出错了", target);
        return 0;
    }
    try {
        // The format's keys come before the path, which runs to the end.
        std::string text = conn_str;
        const std::string keys = Target_Format_Properties(format);
        if (!keys.empty()) text.insert(text.find("Data Source="), keys);
        catalog.create(text);
    } catch (const std::exception& e) {
        // The provider's own text is not shown in the log; it stays as the
        // thread's error for a front end that can say why.
        Thr_Set_Err(-1, e.what());
        Print_Msg("创建目标数据库(%s)出错了", target);
        return 0;
    }
    return 1;
}
