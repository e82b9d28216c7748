// Failures of the bridge, told apart by the fixed texts it writes. The bridge speaks Russian
// sentences; hosts should branch on `code`, and can still show `text` as the bridge wrote it.

export const texts = Object.freeze({
  notVisible: 'Windows не видит этот телефон — включи видимость на роботе и найди заново',
  noSerialService:
    'телефон не предлагает последовательную службу. Открой на нём приложение робота и оставь его на экране, потом повтори',
  writeFailed: 'запись не удалась',
  closedNoDevice: 'нет устройства',
  closedNoService: 'нет службы SPP',
  closedOpenFailed: 'не удалось открыть соединение',
  closedEnded: 'соединение закрыто',
});

const refusedPattern = /^сопряжение не состоялось \(код (-?\d+)\)/;
// The bridge's form of a platform error: the platform's message, a blank, "(0x%08X)".
const platformPattern = /^([\s\S]*) \(0x([0-9A-F]{8})\)$/;

export class BridgeError extends Error {
  constructor(code, text, message = text) {
    super(message);
    this.name = new.target.name;
    this.code = code;
    this.text = text;
  }
}

export class NotVisible extends BridgeError {
  constructor(text = texts.notVisible) {
    super('NOT_VISIBLE', text);
  }
}

export class NoSerialService extends BridgeError {
  constructor(text = texts.noSerialService) {
    super('NO_SERIAL_SERVICE', text);
  }
}

export class PairingRefused extends BridgeError {
  constructor(text, status) {
    super('PAIRING_REFUSED', text);
    this.status = status;
  }
}

export class OpenFailed extends BridgeError {
  constructor(text = texts.closedOpenFailed) {
    super('OPEN_FAILED', text);
  }
}

export class PlatformError extends BridgeError {
  constructor(text) {
    const match = platformPattern.exec(text);
    super('PLATFORM_ERROR', text, match ? match[1] : text);
    // Unsigned, as printed: 0x80004005 compares equal to the literal 0x80004005.
    this.hresult = match ? parseInt(match[2], 16) : null;
  }
}

export class WriteFailed extends BridgeError {
  constructor(text = texts.writeFailed) {
    super('WRITE_FAILED', text);
  }
}

export class ConnectionClosed extends BridgeError {
  constructor(reason, text = reason) {
    super('CONNECTION_CLOSED', text);
    this.reason = reason;
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

// The error of a pair-result with "ok" false.
export function pairError(text) {
  if (text === texts.notVisible) return new NotVisible(text);
  const refused = refusedPattern.exec(text);
  if (refused) return new PairingRefused(text, Number(refused[1]));
  return new PlatformError(text);
}

// The error of a failed connect: the error event's text when there was one, else the closed
// event's reason alone.
export function connectError(errorText, reason) {
  if (errorText === texts.notVisible) return new NotVisible(errorText);
  if (errorText === texts.noSerialService) return new NoSerialService(errorText);
  if (errorText != null && platformPattern.test(errorText)) return new PlatformError(errorText);
  if (reason === texts.closedNoDevice) return new NotVisible(errorText ?? reason);
  if (reason === texts.closedNoService) return new NoSerialService(errorText ?? reason);
  return new OpenFailed(errorText ?? reason);
}
