// Failures as the bridge reports them: a stable code, its Russian text to show the user, and
// the platform's own numbers where it gave them. Hosts branch on `code`.

export class BridgeError extends Error {
  constructor(code, text, fields = {}) {
    super(fields.message ?? text);
    this.name = new.target.name;
    this.code = code;
    this.text = text;
    // The device or link the failure is about, canonical ("A4:50:46:12:34:56"), or null.
    this.addr = fields.addr ?? null;
    // Unsigned, as printed: 0x80004005 compares equal to the literal 0x80004005.
    this.hresult = fields.hresult ?? null;
    // A pairing's result status, when the platform gave one.
    this.status = fields.status ?? null;
  }
}

// One class per code the wire carries, so that `instanceof` works as well as `code`.
const classes = {};
function codeClass(name, code) {
  const Class = {
    [name]: class extends BridgeError {
      constructor(text, fields) {
        super(code, text, fields);
      }
    },
  }[name];
  classes[code] = Class;
  return Class;
}

export const BadCommand = codeClass('BadCommand', 'BAD_COMMAND');
export const NotVisible = codeClass('NotVisible', 'NOT_VISIBLE');
export const NoSerialService = codeClass('NoSerialService', 'NO_SERIAL_SERVICE');
export const PairingRefused = codeClass('PairingRefused', 'PAIRING_REFUSED');
export const OpenFailed = codeClass('OpenFailed', 'OPEN_FAILED');
export const PlatformError = codeClass('PlatformError', 'PLATFORM_ERROR');
export const WriteFailed = codeClass('WriteFailed', 'WRITE_FAILED');
export const NotConnected = codeClass('NotConnected', 'NOT_CONNECTED');
export const AddrRequired = codeClass('AddrRequired', 'ADDR_REQUIRED');
export const AlreadyConnected = codeClass('AlreadyConnected', 'ALREADY_CONNECTED');
export const Busy = codeClass('Busy', 'BUSY');
export const TooLarge = codeClass('TooLarge', 'TOO_LARGE');
export const AdapterOff = codeClass('AdapterOff', 'ADAPTER_OFF');

// A write after the connection ended, or one dropped by destroy(); `reason` and `closeCode` say
// how it ended.
export class ConnectionClosed extends BridgeError {
  constructor(reason, closeCode = null, addr = null) {
    super('CONNECTION_CLOSED', reason ?? 'соединение закрыто', { addr });
    this.reason = reason;
    this.closeCode = closeCode;
  }
}

// Not a text of the bridge: the process ended (or was closed) while a call waited.
export class BridgeExited extends BridgeError {
  constructor(exitCode, signal, detail = '') {
    let text = 'the bridge exited';
    if (signal) text += ` by signal ${signal}`;
    else if (exitCode !== null) text += ` with status ${exitCode}`;
    if (detail) text += `: ${detail}`;
    super('BRIDGE_EXITED', text);
    this.exitCode = exitCode;
    this.signal = signal;
  }
}

// The bridge does not speak the protocol this client needs.
export class ProtocolMismatch extends BridgeError {
  constructor(bridgeProtocol, wanted) {
    const theirs =
      bridgeProtocol === null
        ? 'the bridge speaks protocol 1 only (it did not answer hello)'
        : `the bridge speaks protocol ${bridgeProtocol}`;
    const needs = `this client needs protocol ${wanted}: use the bridge it ships with`;
    super('PROTOCOL_MISMATCH', `${theirs}; ${needs}`);
    this.bridgeProtocol = bridgeProtocol;
    this.wanted = wanted;
  }
}

// The error a failure event stands for: an error event ("error" holds the text), a pair-result
// with ok false (the same) or a scan-done that could not run.
export function fromEvent(event) {
  const code = typeof event.code === 'string' ? event.code : 'PLATFORM_ERROR';
  const text = String(event.error ?? event.reason ?? '');
  const hresult = typeof event.hresult === 'string' ? parseInt(event.hresult, 16) : null;
  const fields = {
    addr: typeof event.addr === 'string' ? event.addr : null,
    hresult: Number.isNaN(hresult) ? null : hresult,
    status: typeof event.status === 'number' ? event.status : null,
  };
  // The text ends with the code the platform gave, "(0x%08X)"; the message is the platform's
  // own words.
  if (fields.hresult !== null) {
    const suffix = ` (${event.hresult})`;
    if (text.endsWith(suffix)) fields.message = text.slice(0, -suffix.length);
  }
  const Class = classes[code];
  return Class ? new Class(text, fields) : new BridgeError(code, text, fields);
}
