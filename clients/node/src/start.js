import { spawn } from 'node:child_process';
import { accessSync, constants, mkdtempSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { delimiter, join } from 'node:path';

import { Bridge } from './bridge.js';

const exeNames = ['quintel-bt-sim', 'quintel-bt'];

function findOnPath() {
  const suffixes =
    process.platform === 'win32'
      ? (process.env.PATHEXT || '.EXE').split(';').filter(Boolean)
      : [''];
  for (const name of exeNames) {
    for (const dir of (process.env.PATH || '').split(delimiter)) {
      if (!dir) continue;
      for (const suffix of suffixes) {
        const candidate = join(dir, name + suffix);
        try {
          accessSync(candidate, constants.X_OK);
          return candidate;
        } catch {
          // not here
        }
      }
    }
  }
  const error = new Error(
    `neither ${exeNames.join(' nor ')} is on PATH; pass { exe } or set QUINTEL_BT_EXE`,
  );
  error.code = 'ENOENT';
  throw error;
}

// Starts the bridge and resolves once it has announced itself with the ready event.
export async function start(options = {}) {
  const { world, worldText, signal } = options;
  signal?.throwIfAborted();
  const exe = options.exe ?? (process.env.QUINTEL_BT_EXE || findOnPath());
  const env = { ...process.env, ...options.env };
  let worldDir = null;
  if (worldText != null) {
    worldDir = mkdtempSync(join(tmpdir(), 'quintel-bt-world-'));
    const file = join(worldDir, 'world.txt');
    writeFileSync(file, worldText);
    env.QUINTEL_BT_WORLD = file;
  } else if (world != null) {
    env.QUINTEL_BT_WORLD = world;
  }
  const child = spawn(exe, [], { stdio: ['pipe', 'pipe', 'pipe'], env, windowsHide: true });
  const bridge = new Bridge(child, options, worldDir);
  try {
    await bridge._ready(signal);
  } catch (error) {
    await bridge._kill();
    throw error;
  }
  return bridge;
}
