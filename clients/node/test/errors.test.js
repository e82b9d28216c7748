import assert from 'node:assert/strict';
import { test } from 'node:test';

import { BridgeError, Busy } from '../index.js';
import { fromEvent } from '../src/errors.js';

// Failure events the client's own calls never provoke (it names every connection and keeps
// within the window) but may meet as late answers, and fields in forms no world produces.
const cases = [
  [{ t: 'error', code: 'BUSY', addr: 'A4:50:46:12:34:56', error: 'x' }, { name: 'Busy', addr: 'A4:50:46:12:34:56', hresult: null }],
  [{ t: 'error', code: 'TOO_LARGE', error: 'x' }, { name: 'TooLarge' }],
  [{ t: 'error', code: 'NOT_CONNECTED', error: 'x' }, { name: 'NotConnected' }],
  [{ t: 'error', code: 'ADDR_REQUIRED', error: 'x' }, { name: 'AddrRequired' }],
  [{ t: 'error', code: 'SOMETHING_NEW', error: 'x' }, { name: 'BridgeError', code: 'SOMETHING_NEW' }],
  [
    { t: 'pair-result', ok: false, code: 'PLATFORM_ERROR', error: 'Line one\nline two (0xFFFFFFFF)', hresult: '0xFFFFFFFF' },
    { hresult: 0xffffffff, message: 'Line one\nline two', text: 'Line one\nline two (0xFFFFFFFF)' },
  ],
  [{ t: 'pair-result', ok: false, code: 'PAIRING_REFUSED', error: 'x', status: -1 }, { status: -1, message: 'x' }],
];

test('failure events become errors with their class, code and fields', () => {
  for (const [event, expected] of cases) {
    const error = fromEvent(event);
    assert.ok(error instanceof BridgeError && error instanceof Error);
    assert.equal(error.name, error.constructor.name);
    assert.equal(error.code, event.code);
    for (const [key, value] of Object.entries(expected)) assert.equal(error[key], value, key);
  }
  assert.ok(fromEvent(cases[0][0]) instanceof Busy);
});
