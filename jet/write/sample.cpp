// The sample database (see write_sample.h).
#include "jet/write/sample.h"

#include <random>
#include <vector>

#include "jet/write/create_database.h"

namespace jet {

namespace {

ColumnSpec column(std::string name, ColumnType type, std::uint16_t size = 0) {
    ColumnSpec c;
    c.name = std::move(name);
    c.type = type;
    c.size = size;
    return c;
}

IndexSpec index(std::string name, std::vector<IndexColumnSpec> columns, bool pk, bool unique) {
    IndexSpec s;
    s.name = std::move(name);
    s.columns = std::move(columns);
    s.primary_key = pk;
    s.unique = unique;
    return s;
}

const char* const kGiven[] = {"Anna", "Bernd", "Chloé", "David", "Émile", "Fatima", "Georg",
                              "Hana", "Ivan", "Jürgen", "Kenji", "Lena"};
const char* const kFamily[] = {"Müller", "Schmidt", "Dubois", "Rossi", "Nakamura", "Novák",
                               "O'Brien", "Петров", "Ortega", "Lindqvist"};
const char* const kChineseNames[] = {"王伟", "李娜", "张敏", "刘洋", "陈静", "杨磊", "赵军", "黄丽"};
const char* const kCities[] = {"Berlin", "Paris", "北京", "上海", "Zürich", "São Paulo",
                               "København", "New York", "Москва", "Kraków"};
const char* const kProducts[] = {"茶叶", "瓷器", "丝绸", "毛笔", "宣纸", "砚台", "扇子", "灯笼",
                                 "月饼", "筷子"};
const char* const kWords[] = {"order ", "delivery ", "express ", "数据 ", "库存 ", "invoice ",
                              "remark ", "Grüße ", "échange ", "παράδοση "};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}
    std::uint32_t next(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }
    std::string words(std::size_t bytes) {
        std::string s;
        while (s.size() < bytes) s += kWords[next(10)];
        std::size_t cut = bytes;
        while (cut < s.size() && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) ++cut;
        s.resize(cut);
        return s;
    }
    Bytes blob(std::size_t n) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t r = rng_();
            for (std::size_t k = i; k < n && k < i + 8; ++k, r >>= 8) b[k] = static_cast<std::uint8_t>(r);
        }
        return b;
    }
    Guid guid() {
        Guid g;
        for (auto& x : g.bytes) x = static_cast<std::uint8_t>(rng_());
        return g;
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace

SampleSummary write_sample_database(const std::string& path, const SampleOptions& options) {
    using T = ColumnType;
    CreateOptions create;
    create.password = options.password;
    create.database_key = options.database_key;
    auto w = create_database(path, create);
    Generator g(options.seed);
    SampleSummary sum;
    const std::uint32_t n = options.rows;
    const std::uint32_t customers = std::max<std::uint32_t>(10, n / 2);
    const std::uint32_t products = 10;

    // Customers: the primary key exists before the rows, the other indexes
    // are built over the rows afterwards.
    ColumnSpec id = column("ID", T::kLong);
    id.autonumber = true;
    ColumnSpec notes = column("Notes", T::kMemo);
    TableHandle c = w->create_table(TableSpec{
        "Customers",
        {id, column("Name", T::kText, 100), column("City", T::kText, 50), column("Email", T::kText, 120),
         column("Joined", T::kDateTime), column("Active", T::kBoolean), column("Score", T::kDouble),
         column("Balance", T::kCurrency), notes}});
    w->create_index(c, index("PrimaryKey", {{"ID", false}}, true, true));
    for (std::uint32_t i = 0; i < customers; ++i) {
        std::string name = i % 4 == 0 ? std::string(kChineseNames[g.next(8)])
                                      : std::string(kGiven[g.next(12)]) + " " + kFamily[g.next(10)];
        std::vector<Value> row{Null{},
                               name,
                               std::string(kCities[g.next(10)]),
                               "customer" + std::to_string(i) + "@example.com",
                               DateTime{36526.0 + g.next(9000) + g.next(86400) / 86400.0},
                               g.next(3) != 0,
                               static_cast<double>(g.next(100000)) / 100.0,
                               Currency{static_cast<std::int64_t>(g.next(20000000)) - 5000000},
                               i % 3 == 0 ? Value{Null{}} : Value{g.words(20 + g.next(200))}};
        w->insert_row(c, row);
    }
    w->create_index(c, index("Email", {{"Email", false}}, false, true));
    w->create_index(c, index("CityName", {{"City", false}, {"Name", false}}, false, false));

    // 产品: Chinese names throughout.
    TableHandle p = w->create_table(TableSpec{
        "产品", {column("编号", T::kLong), column("名称", T::kText, 50), column("价格", T::kCurrency),
                 column("描述", T::kMemo)}});
    w->create_index(p, index("PrimaryKey", {{"编号", false}}, true, true));
    for (std::uint32_t i = 0; i < products; ++i) {
        w->insert_row(p, std::vector<Value>{static_cast<std::int32_t>(i + 1), std::string(kProducts[i]),
                                            Currency{static_cast<std::int64_t>(1000 + g.next(990000))},
                                            "上等" + std::string(kProducts[i]) + "，" + g.words(30)});
    }
    w->create_index(p, index("名称", {{"名称", false}}, false, true));

    // Orders: the largest table, every fixed-size type, a short memo and an
    // OLE value of up to 2 KB stored outside the row. Its indexes are built
    // over the rows afterwards, as a repair builds them.
    ColumnSpec order_id = column("OrderID", T::kLong);
    order_id.autonumber = true;
    ColumnSpec amount = column("Amount", T::kNumeric);
    amount.precision = 18;
    amount.scale = 4;
    TableHandle o = w->create_table(TableSpec{
        "Orders",
        {order_id, column("CustomerID", T::kLong), column("OrderDate", T::kDateTime),
         column("Quantity", T::kInteger), column("Discount", T::kSingle), amount,
         column("Status", T::kByte), column("Shipped", T::kBoolean), column("Ref", T::kGuid),
         column("Code", T::kBinary, 8), column("Comment", T::kText, 255), column("Price", T::kCurrency),
         column("Weight", T::kDouble), column("Note", T::kMemo), column("Scan", T::kOle)}});
    for (std::uint32_t i = 0; i < n; ++i) {
        Decimal d;
        d.precision = 18;
        d.scale = 4;
        std::uint32_t cents = g.next(100000000);
        d.magnitude[12] = static_cast<std::uint8_t>(cents >> 24);
        d.magnitude[13] = static_cast<std::uint8_t>(cents >> 16);
        d.magnitude[14] = static_cast<std::uint8_t>(cents >> 8);
        d.magnitude[15] = static_cast<std::uint8_t>(cents);
        Bytes code = g.blob(8);
        std::uint32_t scan = g.next(2049);
        std::vector<Value> row{Null{},
                               static_cast<std::int32_t>(1 + g.next(customers)),
                               DateTime{40179.0 + g.next(5000) + g.next(86400) / 86400.0},
                               static_cast<std::int16_t>(g.next(1000)),
                               static_cast<float>(g.next(50)) / 100.0f,
                               d,
                               static_cast<std::uint8_t>(g.next(5)),
                               g.next(2) == 0,
                               g.guid(),
                               code,
                               i % 7 == 0 ? Value{Null{}} : Value{g.words(10 + g.next(80))},
                               Currency{static_cast<std::int64_t>(g.next(100000000))},
                               static_cast<double>(g.next(1000000)) / 1000.0,
                               i % 5 == 0 ? Value{Null{}} : Value{g.words(g.next(120))},
                               i % 11 == 0 ? Value{Null{}} : Value{g.blob(scan)}};
        w->insert_row(o, row);
    }
    w->create_index(o, index("PrimaryKey", {{"OrderID", false}}, true, true));
    w->create_index(o, index("CustomerID", {{"CustomerID", false}}, false, false));
    w->create_index(o, index("OrderDate", {{"OrderDate", true}}, false, false));

    // Order Details: a blank in the name, a two-column primary key.
    TableHandle od = w->create_table(TableSpec{
        "Order Details", {column("OrderID", T::kLong), column("LineNo", T::kInteger),
                          column("ProductID", T::kLong), column("Qty", T::kInteger)}});
    w->create_index(od, index("PrimaryKey", {{"OrderID", false}, {"LineNo", false}}, true, true));
    std::uint32_t details = n / 2;
    for (std::uint32_t i = 0; i < details; ++i) {
        w->insert_row(od, std::vector<Value>{static_cast<std::int32_t>(1 + i / 2),
                                             static_cast<std::int16_t>(i % 2 + 1),
                                             static_cast<std::int32_t>(1 + g.next(products)),
                                             static_cast<std::int16_t>(1 + g.next(20))});
    }
    w->create_index(od, index("ProductID", {{"ProductID", false}}, false, false));

    // Documents: long values from empty to several hundred kilobytes.
    TableHandle doc = w->create_table(TableSpec{
        "Documents", {column("DocID", T::kLong), column("Title", T::kText, 80), column("Body", T::kMemo),
                      column("Attachment", T::kOle)}});
    w->create_index(doc, index("PrimaryKey", {{"DocID", false}}, true, true));
    const std::size_t sizes[] = {0, 1, 50, 1000, 4000, 5000, 20000, 100000, 300000, 600000};
    std::int32_t doc_id = 0;
    for (std::size_t s : sizes) {
        ++doc_id;
        w->insert_row(doc, std::vector<Value>{doc_id, "文档 " + std::to_string(doc_id) + " (" + std::to_string(s) + ")",
                                              g.words(s), g.blob(s)});
    }
    ++doc_id;
    w->insert_row(doc, std::vector<Value>{doc_id, std::string("Nothing attached"), Null{}, Null{}});

    w->close();
    for (const char* t : {"Customers", "产品", "Orders", "Order Details", "Documents"}) {
        (void)t;
        ++sum.tables;
    }
    sum.rows = customers + products + n + details + (std::size(sizes) + 1);
    sum.indexes = 11;
    return sum;
}

}  // namespace jet
