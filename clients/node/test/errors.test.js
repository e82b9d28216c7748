import assert from 'node:assert/strict';
import { test } from 'node:test';

import { BridgeError } from '../index.js';
import { fromEvent } from '../src/errors.js';

// Fields in forms no simulated world produces.
const cases = [
  [
    { t: 'pair-result', ok: false, code: 'PLATFORM_ERROR', error: 'Line one\nline two (0xFFFFFFFF)', hresult: '0xFFFFFFFF' },
    { name: 'PlatformError', hresult: 0xffffffff, message: 'Line one\nline two', text: 'Line one\nline two (0xFFFFFFFF)' },
  ],
  [{ t: 'pair-result', ok: false, code: 'PAIRING_REFUSED', error: 'x', status: -1 }, { status: -1, message: 'x', hresult: null }],
  [{ t: 'error', code: 'SOMETHING_NEW', error: 'x' }, { name: 'BridgeError', addr: null }],
];

test('failure events become errors with their class, code and fields', () => {
  for (const [event, expected] of cases) {
    const error = fromEvent(event);
    assert.ok(error instanceof BridgeError && error instanceof Error);
    assert.equal(error.name, error.constructor.name);
    assert.equal(error.code, event.code);
    for (const [key, value] of Object.entries(expected)) assert.equal(error[key], value, key);
  }
});
