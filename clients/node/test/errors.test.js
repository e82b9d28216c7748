import assert from 'node:assert/strict';
import { test } from 'node:test';

import { BridgeError } from '../index.js';
import { connectError, pairError, texts } from '../src/errors.js';

// The failure events a real bridge may send that no simulated world produces: a closed event
// alone, and error texts outside the usual forms.
const cases = [
  [connectError(null, 'нет устройства'), { code: 'NOT_VISIBLE', text: 'нет устройства' }],
  [connectError(null, 'нет службы SPP'), { code: 'NO_SERIAL_SERVICE' }],
  [connectError(null, texts.closedOpenFailed), { code: 'OPEN_FAILED', text: texts.closedOpenFailed }],
  [connectError('что-то без кода', texts.closedOpenFailed), { code: 'OPEN_FAILED', text: 'что-то без кода' }],
  [connectError(' (0x00000001)', texts.closedOpenFailed), { code: 'PLATFORM_ERROR', hresult: 1, message: '' }],
  [pairError('сопряжение не состоялось (код -1) — подтвердили ли на телефоне?'), { code: 'PAIRING_REFUSED', status: -1 }],
  [pairError('Line one\nline two (0xFFFFFFFF)'), { code: 'PLATFORM_ERROR', hresult: 0xffffffff, message: 'Line one\nline two' }],
  [pairError('no code here'), { code: 'PLATFORM_ERROR', hresult: null, message: 'no code here' }],
];

test('failure texts map to their codes and fields', () => {
  for (const [error, expected] of cases) {
    assert.ok(error instanceof BridgeError && error instanceof Error);
    assert.equal(error.name, error.constructor.name);
    for (const [key, value] of Object.entries(expected)) assert.equal(error[key], value, key);
  }
});
