import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { readFileSync, rmSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { exe } from './support/sim.js';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const blocks = [...readFileSync(join(root, 'README.md'), 'utf8').matchAll(/```js\n([\s\S]*?)```/g)];

// What each example prints, in its order of appearance.
const expected = [
  ['confirm on the phone: 482916', 'the phone says hello robot'],
  [
    'A4:50:46:12:34:56 answers forward 10 from A4:50:46:12:34:56',
    '00:1A:7D:DA:71:13 answers forward 10 from 00:1A:7D:DA:71:13',
  ],
  [],
  ['the host got robot says hi', 'the phone got hello', 'closed: PHONE_CLOSED соединение закрыто'],
];

test('the README examples run as written against quintel-bt-sim', async (t) => {
  assert.equal(blocks.length, expected.length);
  const env = { ...process.env, QUINTEL_BT_EXE: exe };
  delete env.QUINTEL_BT_WORLD; // the default world
  for (const [i, [, code]] of blocks.entries()) {
    // Inside the package, so that `import 'quintel-bt'` finds it by its own name.
    const file = join(root, 'test', `.readme-${process.pid}-${i}.mjs`);
    writeFileSync(file, code);
    t.after(() => rmSync(file, { force: true }));
    const { stdout } = await promisify(execFile)(process.execPath, [file], { env, timeout: 20_000 });
    for (const line of expected[i]) assert.ok(stdout.includes(line), `example ${i + 1}:\n${stdout}`);
  }
});
