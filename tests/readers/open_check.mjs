// Opens a database with mdb-reader and reads every user table's rows.
//   node open_check.mjs FILE [PASSWORD]
// Prints "ok N tables" and exits 0, or prints mdb-reader's error and exits 1.
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [file, password] = process.argv.slice(2);
try {
    const reader = new MDBReader(readFileSync(file), password ? { password } : undefined);
    const names = reader.getTableNames();
    for (const name of names) reader.getTable(name).getData();
    process.stdout.write(`ok ${names.length} tables\n`);
} catch (e) {
    process.stdout.write(`${e.message}\n`);
    process.exit(1);
}
