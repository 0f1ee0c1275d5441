// Prints what mdb-reader sees in a database, as JSON, for the writer's
// cross-checks: node dump_tables.mjs FILE [PASSWORD]
// Every user table with its columns (name, type, size), row count and rows.
// Cells: null, booleans, numbers and strings as read; dates as milliseconds
// since 1970 (UTC, as mdb-reader builds them); binary and OLE values as
// upper-case hex under {"hex": ...}.
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [file, password] = process.argv.slice(2);
const reader = new MDBReader(readFileSync(file), password ? { password } : undefined);
const out = { tables: [] };
for (const name of reader.getTableNames()) {
    const table = reader.getTable(name);
    const columns = table.getColumns().map((c) => ({ name: c.name, type: c.type, size: c.size }));
    const rows = table.getData().map((row) =>
        columns.map(({ name: col }) => {
            const v = row[col];
            if (v === null || v === undefined) return null;
            if (Buffer.isBuffer(v)) return { hex: v.toString("hex").toUpperCase() };
            if (v instanceof Date) return { date: v.getTime() };
            if (typeof v === "bigint") return v.toString();
            return v;
        }),
    );
    out.tables.push({ name, rowCount: table.rowCount, columns, rows });
}
process.stdout.write(JSON.stringify(out));
