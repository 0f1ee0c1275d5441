// Prints the column design mdb-reader sees in a database, one line per
// column of every user table, in the table's column order:
//   TABLE.COLUMN type=T size=N fixed=0|1 nullable=0|1 autoLong=0|1 autoUUID=0|1 [precision=P scale=S]
//   node design_dump.mjs FILE [PASSWORD]
// Tables come sorted by name, so that two files list alike when alike.
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [file, password] = process.argv.slice(2);
const reader = new MDBReader(readFileSync(file), password ? { password } : undefined);
const lines = [];
for (const name of [...reader.getTableNames()].sort()) {
    for (const c of reader.getTable(name).getColumns()) {
        let line =
            `${name}.${c.name} type=${c.type} size=${c.size} fixed=${+c.fixedLength}` +
            ` nullable=${+c.nullable} autoLong=${+c.autoLong} autoUUID=${+c.autoUUID}`;
        if (c.type === "numeric") line += ` precision=${c.precision} scale=${c.scale}`;
        lines.push(line);
    }
}
process.stdout.write(lines.join("\n") + "\n");
