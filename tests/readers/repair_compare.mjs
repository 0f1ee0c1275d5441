// Reads a repaired database and its source with mdb-reader and compares
// every user table of the source with the table of the same name in the
// target: same column names in order, same rows (as a multiset, since the
// copy may place rows on pages in another order).
//   node repair_compare.mjs SOURCE TARGET [PASSWORD]
// Prints "ok N tables" and exits 0, or prints the differences and exits 1.
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [sourceFile, targetFile, password] = process.argv.slice(2);
const options = password ? { password } : undefined;
const source = new MDBReader(readFileSync(sourceFile), options);
const target = new MDBReader(readFileSync(targetFile), options);

// mdb-reader gives U+FFFD for a Jet 3 byte its code page leaves unassigned;
// our copy keeps the byte as Windows reads it, as the C1 control of the same
// value. Both sides compare with C1 controls as U+FFFD.
function cell(v) {
    if (v === null || v === undefined) return null;
    if (typeof v === "string") return v.replace(/[\u0080-\u009F]/g, "\uFFFD");
    if (Buffer.isBuffer(v)) return { hex: v.toString("hex").toUpperCase() };
    if (v instanceof Date) return { date: v.getTime() };
    if (typeof v === "bigint") return v.toString();
    return v;
}

function rows(table) {
    const names = table.getColumnNames();
    return table
        .getData()
        .map((row) => JSON.stringify(names.map((n) => cell(row[n]))))
        .sort();
}

const problems = [];
const targetNames = new Set(target.getTableNames());
let compared = 0;
for (const name of source.getTableNames()) {
    if (!targetNames.has(name)) {
        problems.push(`table ${name} is missing from the target`);
        continue;
    }
    const s = source.getTable(name);
    const t = target.getTable(name);
    const sc = s.getColumnNames().join("|");
    const tc = t.getColumnNames().join("|");
    if (sc !== tc) problems.push(`table ${name}: columns ${sc} became ${tc}`);
    const sr = rows(s);
    const tr = rows(t);
    if (sr.length !== tr.length) {
        problems.push(`table ${name}: ${sr.length} rows became ${tr.length}`);
    } else {
        const i = sr.findIndex((r, k) => r !== tr[k]);
        if (i >= 0) problems.push(`table ${name}: row ${sr[i]} became ${tr[i]}`);
    }
    ++compared;
}
if (problems.length) {
    process.stdout.write(problems.join("\n") + "\n");
    process.exit(1);
}
process.stdout.write(`ok ${compared} tables\n`);
