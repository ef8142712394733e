// The logos aribts's own extraction (its sample/get_logo.js) wrote of a
// broadcast, given the palette by aribts's own routine (TsLogo, the common
// fixed colour table); and that table, as JSON on stdout.
//   node logo_palette.js ARIBTS_DIR FOLDER
"use strict";
const fs = require("fs");
const path = require("path");
const [dir, folder] = process.argv.slice(2);
const aribts = require(dir);
for (const name of fs.readdirSync(folder)) {
    if (!name.endsWith(".png")) continue;
    const file = path.join(folder, name);
    fs.writeFileSync(file, new aribts.TsLogo(fs.readFileSync(file)).decode());
}
console.log(JSON.stringify(require(path.join(dir, "lib", "logo_clut.js"))));
