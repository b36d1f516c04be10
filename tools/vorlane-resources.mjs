// Rewrites the resources of a copy of the prebuilt launcher for one
// application: settings and publisher (string table), icon group MAIN, version
// block. vorlane-pack calls it with a JSON job; it is not meant to be run by
// hand. The PE rewrite is resedit's (sections, header sizes and the checksum
// are recomputed there), never ours.
//
//   node vorlane-resources.mjs JOB.json
//
// JOB: {"input": launcher, "output": path, "strings": {"4": "text" or null},
//       "icon": ".ico or .png path" or null, "version": [a, b, c, d] or null,
//       "versionStrings": {"ProductName": "text", ...}}
// A null string removes it. Exit status 0, or 1 with the reason on stderr.
import fs from 'node:fs';
import { PNG } from 'pngjs';
import * as ResEdit from 'resedit';

const RT_STRING = 6;
const ICON_GROUP = 'MAIN';
const ICON_SIZES = [256, 128, 64, 48, 32, 24, 16];

class JobError extends Error {}

function resourceLanguage(entries) {
  // Every string keeps the language the build gave the table, so LoadString finds it as before.
  const table = entries.find((e) => e.type === RT_STRING);
  return table ? table.lang : 1033;
}

// ---- icons --------------------------------------------------------------------

// Averages the source pixels each destination pixel covers (with fractions),
// on premultiplied colour so transparent pixels lend no colour to the edges.
function weights(from, to) {
  const ratio = from / to;
  const out = [];
  for (let i = 0; i < to; i++) {
    const start = i * ratio;
    const end = start + ratio;
    const row = [];
    for (let j = Math.floor(start); j < Math.min(from, Math.ceil(end)); j++) {
      const w = Math.min(end, j + 1) - Math.max(start, j);
      if (w > 0) row.push([j, w / ratio]);
    }
    out.push(row);
  }
  return out;
}

function downscale(pixels, side, size) {
  const premultiplied = new Float64Array(side * side * 4);
  for (let i = 0; i < side * side; i++) {
    const a = pixels[i * 4 + 3] / 255;
    premultiplied[i * 4] = pixels[i * 4] * a;
    premultiplied[i * 4 + 1] = pixels[i * 4 + 1] * a;
    premultiplied[i * 4 + 2] = pixels[i * 4 + 2] * a;
    premultiplied[i * 4 + 3] = pixels[i * 4 + 3];
  }
  const w = weights(side, size);
  const rows = new Float64Array(side * size * 4);  // horizontal pass: side rows of size pixels
  for (let y = 0; y < side; y++) {
    for (let x = 0; x < size; x++) {
      for (const [j, f] of w[x]) {
        for (let c = 0; c < 4; c++) rows[(y * size + x) * 4 + c] += premultiplied[(y * side + j) * 4 + c] * f;
      }
    }
  }
  const out = Buffer.alloc(size * size * 4);
  for (let y = 0; y < size; y++) {
    for (let x = 0; x < size; x++) {
      const sum = [0, 0, 0, 0];
      for (const [j, f] of w[y]) {
        for (let c = 0; c < 4; c++) sum[c] += rows[(j * size + x) * 4 + c] * f;
      }
      const at = (y * size + x) * 4;
      const a = sum[3];
      out[at + 3] = Math.round(a);
      for (let c = 0; c < 3; c++) out[at + c] = a > 0 ? Math.min(255, Math.round((sum[c] * 255) / a)) : 0;
    }
  }
  return out;
}

// A .png becomes one PNG image per size from 256 px down to 16 px, never
// enlarged; a picture that is not square is centred on a transparent square.
function iconsFromPng(path, bytes) {
  let image;
  try {
    image = PNG.sync.read(bytes);
  } catch (error) {
    throw new JobError(`${path} is not a PNG image this tool can read (${error.message})`);
  }
  const side = Math.max(image.width, image.height);
  if (side < 16) throw new JobError(`${path} is ${image.width}x${image.height} pixels: an icon needs at least 16x16`);
  const square = Buffer.alloc(side * side * 4);
  const left = Math.floor((side - image.width) / 2);
  const top = Math.floor((side - image.height) / 2);
  for (let y = 0; y < image.height; y++) {
    image.data.copy(square, ((top + y) * side + left) * 4, y * image.width * 4, (y + 1) * image.width * 4);
  }
  return ICON_SIZES.filter((size) => size <= side).map((size) => {
    const data = size === side ? square : downscale(square, side, size);
    const png = PNG.sync.write({ width: size, height: size, data }, { colorType: 6 });
    return ResEdit.Data.RawIconItem.from(png, size, size, 32);
  });
}

function iconsFrom(path) {
  let bytes;
  try {
    bytes = fs.readFileSync(path);
  } catch (error) {
    throw new JobError(`cannot read the icon ${path} (${error.code || error.message})`);
  }
  if (bytes.length >= 8 && bytes.subarray(0, 8).equals(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]))) {
    return iconsFromPng(path, bytes);
  }
  if (bytes.length < 6 || bytes.readUInt16LE(0) !== 0 || bytes.readUInt16LE(2) !== 1 || bytes.readUInt16LE(4) === 0) {
    throw new JobError(`${path} is neither an .ico file nor a PNG image`);
  }
  let file;
  try {
    file = ResEdit.Data.IconFile.from(bytes);
  } catch (error) {
    throw new JobError(`${path} is a damaged .ico file (${error.message})`);
  }
  return file.icons.map((icon) => icon.data);
}

// ---- the job ------------------------------------------------------------------

function rewrite(job) {
  const exe = ResEdit.NtExecutable.from(fs.readFileSync(job.input), { ignoreCert: true });
  const res = ResEdit.NtExecutableResource.from(exe);
  const lang = resourceLanguage(res.entries);

  const ids = Object.keys(job.strings || {});
  if (ids.length > 0) {
    const table = ResEdit.Resource.StringTable.fromEntries(lang, res.entries);
    for (const id of ids) table.setById(Number(id), job.strings[id] === null ? null : job.strings[id]);
    table.replaceStringEntriesForExecutable(res);
  }

  if (job.icon) {
    ResEdit.Resource.IconGroupEntry.replaceIconsForResource(res.entries, ICON_GROUP, lang, iconsFrom(job.icon));
  }

  const strings = job.versionStrings || {};
  if (job.version || Object.keys(strings).length > 0) {
    const found = ResEdit.Resource.VersionInfo.fromEntries(res.entries);
    if (found.length === 0) throw new JobError('the launcher has no version block to rewrite');
    const info = found[0];
    const languages = info.getAllLanguagesForStringValues();
    if (languages.length === 0) languages.push({ lang: 1033, codepage: 1200 });
    if (job.version) {
      const [a, b, c, d] = job.version;
      info.setFileVersion(a, b, c, d, languages[0].lang);
      info.setProductVersion(a, b, c, d, languages[0].lang);
    }
    for (const language of languages) {
      const values = { ...strings };
      if (job.version) values.FileVersion = values.ProductVersion = job.version.join('.');
      info.setStringValues(language, values);
    }
    info.outputToResourceEntries(res.entries);
  }

  res.outputResource(exe);
  fs.writeFileSync(job.output, Buffer.from(exe.generate()));
}

function main() {
  if (process.argv.length !== 3) {
    process.stderr.write('usage: node vorlane-resources.mjs JOB.json (run by vorlane-pack)\n');
    return 2;
  }
  try {
    rewrite(JSON.parse(fs.readFileSync(process.argv[2], 'utf8')));
    return 0;
  } catch (error) {
    process.stderr.write(`${error instanceof JobError ? error.message : `resource rewrite failed: ${error.message}`}\n`);
    return 1;
  }
}

process.exitCode = main();
