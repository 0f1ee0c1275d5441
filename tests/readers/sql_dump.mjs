// Prints every user table of a .mdb file as mdb-reader reads it, one JSON
// object per line: {"table":NAME,"columns":[...],"rows":[[...],...]}.
// Values: text as is, numbers as JSON numbers, booleans, dates as
// "YYYY-MM-DD HH:MM:SS" (UTC fields), binary as hex, null.
// Usage: node sql_dump.mjs FILE [PASSWORD]
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [file, password] = process.argv.slice(2);
const reader = new MDBReader(readFileSync(file), password ? { password } : undefined);
const pad = (n) => String(n).padStart(2, "0");
const show = (v) => {
  if (v === null || v === undefined) return null;
  if (v instanceof Date) {
    return `${v.getUTCFullYear()}-${pad(v.getUTCMonth() + 1)}-${pad(v.getUTCDate())} ` +
      `${pad(v.getUTCHours())}:${pad(v.getUTCMinutes())}:${pad(v.getUTCSeconds())}`;
  }
  if (Buffer.isBuffer(v)) return v.toString("hex").toUpperCase();
  return v;
};
for (const name of reader.getTableNames()) {
  const table = reader.getTable(name);
  const columns = table.getColumnNames();
  const rows = table.getData().map((r) => columns.map((c) => show(r[c])));
  console.log(JSON.stringify({ table: name, columns, rows }));
}
