// Decodes the samples that the end-to-end test took off the wire (publish_e2e_test.cpp) with an
// independent implementation of ROS 2's message definitions and CDR, and checks that every field
// decodes to what was published: ROS 2 nodes read what `lumox publish` writes.
//
// Usage: node decode_test.js SAMPLES_DIR   (NAME.cdr, NAME.json with the values DDS decoded,
// NAME.type with the ROS type, for each sample)
"use strict";
const assert = require("node:assert");
const fs = require("node:fs");
const path = require("node:path");
const { MessageReader } = require("@foxglove/rosmsg2-serialization");
const { ros2humble } = require("@foxglove/rosmsg-msgs-common");

function fnv1a(bytes) {
  let h = 0xcbf29ce484222325n;
  for (const b of bytes) h = ((h ^ BigInt(b)) * 0x100000001b3n) & 0xffffffffffffffffn;
  return h.toString(16).padStart(16, "0");
}

// Compares a decoded value with the expected one; where names the field in messages.
function compare(decoded, expected, where) {
  if (expected !== null && typeof expected === "object" && "fnv1a" in expected) {
    assert.ok(decoded instanceof Uint8Array, `${where}: bytes expected`);
    assert.strictEqual(decoded.length, expected.length, `${where}: length`);
    assert.strictEqual(fnv1a(decoded), expected.fnv1a, `${where}: contents`);
  } else if (Array.isArray(expected)) {
    assert.ok(Array.isArray(decoded) || ArrayBuffer.isView(decoded), `${where}: array expected`);
    assert.strictEqual(decoded.length, expected.length, `${where}: length`);
    expected.forEach((e, i) => compare(decoded[i], e, `${where}[${i}]`));
  } else if (expected !== null && typeof expected === "object") {
    assert.deepStrictEqual(Object.keys(decoded).sort(), Object.keys(expected).sort(),
      `${where}: fields`);
    for (const k of Object.keys(expected)) compare(decoded[k], expected[k], `${where}.${k}`);
  } else if (expected === "NaN") {
    assert.ok(Number.isNaN(decoded), `${where}: NaN expected, got ${decoded}`);
  } else if (typeof decoded === "boolean") {
    assert.strictEqual(decoded ? 1 : 0, expected, `${where}`);
  } else if (typeof decoded === "bigint") {
    assert.strictEqual(decoded, BigInt(expected), `${where}`);
  } else {
    assert.strictEqual(decoded, expected, `${where}`);
  }
}

const dir = process.argv[2];
const names = fs.readdirSync(dir).filter((f) => f.endsWith(".type")).map((f) => f.slice(0, -5));
// Every kind of message the publisher sends, from both of the test's publishers where they differ.
const wanted = ["depth", "depth_b", "amplitude", "camera_info", "points", "points_b",
  "diagnostics", "tf_static"];
let passed = 0;
let failed = 0;
for (const name of wanted) {
  try {
    assert.ok(names.includes(name), `no sample ${name} in ${dir}`);
    const type = fs.readFileSync(path.join(dir, `${name}.type`), "utf8").trim();
    const root = ros2humble[type.replace("/msg/", "/")];
    assert.ok(root, `no definition of ${type}`);
    const reader = new MessageReader([root, ...Object.values(ros2humble).filter((d) => d !== root)]);
    const cdr = fs.readFileSync(path.join(dir, `${name}.cdr`));
    const expected = JSON.parse(fs.readFileSync(path.join(dir, `${name}.json`), "utf8"));
    const decoded = reader.readMessage(cdr);
    // CDR pads a message to a multiple of four bytes at most.
    assert.ok(cdr.length - 4 - reader.lastReadByteLength() < 4 || !reader.lastReadHadTrailingBytes(),
      `${name}: ${cdr.length} bytes, the definition reads ${reader.lastReadByteLength()}`);
    compare(decoded, expected, name);
    console.log(`ok ${name} (${type}, ${cdr.length} bytes)`);
    passed++;
  } catch (e) {
    console.log(`FAIL ${name}: ${e.message}`);
    failed++;
  }
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
