/// <reference types="node" />
import { EventEmitter } from 'node:events';
import { Duplex, Readable } from 'node:stream';

/** The protocol this client speaks with the bridge. */
export const protocol: 2;

/** An event of the bridge, as it wrote it ("t" names the kind). */
export interface BridgeEvent {
  t: string | null;
  [key: string]: unknown;
}

export type AdapterState = 'on' | 'off' | 'absent';

export interface StartOptions {
  /** The bridge's executable; else QUINTEL_BT_EXE, else quintel-bt-sim or quintel-bt on PATH. */
  exe?: string;
  /** A world file's path, for the simulated radio (sets QUINTEL_BT_WORLD). */
  world?: string;
  /** A world's text, for the simulated radio (written to a temporary file). */
  worldText?: string;
  /** Extra environment for the bridge process. */
  env?: NodeJS.ProcessEnv;
  /** Each line of the bridge's diagnostic log (standard error), without its line ending. */
  onLog?: (line: string) => void;
  /** Each event that answers no pending call. Also emitted as the bridge's 'event'. */
  onEvent?: (event: BridgeEvent) => void;
  /** Gives up waiting for the bridge to be ready (the process is killed). */
  signal?: AbortSignal;
}

export interface Device {
  /** Canonical: "A4:50:46:12:34:56". */
  addr: string;
  name: string;
  paired: boolean;
}

export interface ScanOptions {
  /** Inquiry length; the bridge takes 1 to 10.24 and uses 8 for anything else. */
  seconds?: number;
  signal?: AbortSignal;
}

export interface PairOptions {
  /** The PIN to compare on the phone, for a numeric-comparison pairing; may be async. */
  onPin?: (pin: string) => void | Promise<void>;
  signal?: AbortSignal;
}

export interface ConnectOptions {
  signal?: AbortSignal;
}

export function start(options?: StartOptions): Promise<Bridge>;

export class Bridge extends EventEmitter {
  /** What the bridge runs on: "sim", "windows" or "bluez". */
  readonly backend: string | null;
  /** The bridge's version. */
  readonly version: string | null;
  /** The protocol spoken: 2. */
  readonly protocol: number | null;
  /** Bytes a connection may have accepted and not yet stored (the client keeps within it). */
  readonly window: number | null;
  /** The adapter's state, kept current; changes also come as 'adapter' events. */
  readonly adapter: AdapterState | null;
  /** The bridge's standard error: the Russian diagnostic log. */
  readonly stderr: Readable;
  readonly pid: number | undefined;
  readonly exited: boolean;
  /** The open connections, in the order they opened. */
  readonly connections: Connection[];
  /** The open connection; the latest opened when several are. */
  readonly connection: Connection | null;

  /** Devices the inquiry hears, until the scan ends. */
  scan(options?: ScanOptions): AsyncGenerator<Device, void, undefined>;
  /** Resolves once paired. Any number may run at once. */
  pair(addr: string, options?: PairOptions): Promise<void>;
  /** Resolves with the open connection; one per address, any number of addresses. */
  connect(addr: string, options?: ConnectOptions): Promise<Connection>;
  /**
   * Sends a command the client has no call for (e.g. { t: 'stop-scan' }); resolves with its
   * final event, rejects with its error. The client sets the id; not "hello".
   */
  request(command: { t: string; [key: string]: unknown }, options?: { signal?: AbortSignal }): Promise<BridgeEvent>;
  /**
   * Lets connections being ended store their last bytes and disconnect, then ends the bridge's
   * input; it disconnects the rest and exits. Resolves with its exit status.
   */
  close(options?: { timeout?: number }): Promise<number | null>;

  on(event: 'event', listener: (event: BridgeEvent) => void): this;
  on(event: 'adapter', listener: (state: AdapterState) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

export type CloseCode = 'HOST_CLOSED' | 'PHONE_CLOSED' | 'LINK_LOST' | 'ADAPTER_OFF';

/** One serial-port connection as a byte stream. Framing is the host's. */
export class Connection extends Duplex {
  /** Canonical: "A4:50:46:12:34:56". */
  readonly addr: string;
  /** Why the connection ended, once the bridge has said. */
  readonly closeCode: CloseCode | null;
  /** The bridge's Russian text for the end. */
  readonly closeReason: string | null;
}

export type BridgeErrorCode =
  | 'BAD_COMMAND'
  | 'NOT_VISIBLE'
  | 'NO_SERIAL_SERVICE'
  | 'PAIRING_REFUSED'
  | 'OPEN_FAILED'
  | 'PLATFORM_ERROR'
  | 'WRITE_FAILED'
  | 'NOT_CONNECTED'
  | 'ADDR_REQUIRED'
  | 'ALREADY_CONNECTED'
  | 'BUSY'
  | 'TOO_LARGE'
  | 'ADAPTER_OFF'
  | 'CONNECTION_CLOSED'
  | 'BRIDGE_EXITED'
  | 'PROTOCOL_MISMATCH';

export class BridgeError extends Error {
  readonly code: BridgeErrorCode | string;
  /** The bridge's Russian text, to show the user. */
  readonly text: string;
  /** The device or link the failure is about, when the bridge named one. */
  readonly addr: string | null;
  /** The platform's failure code, unsigned, when it gave one. */
  readonly hresult: number | null;
  /** A pairing's result status, when the platform gave one. */
  readonly status: number | null;
}
export class BadCommand extends BridgeError {
  readonly code: 'BAD_COMMAND';
}
export class NotVisible extends BridgeError {
  readonly code: 'NOT_VISIBLE';
}
export class NoSerialService extends BridgeError {
  readonly code: 'NO_SERIAL_SERVICE';
}
export class PairingRefused extends BridgeError {
  readonly code: 'PAIRING_REFUSED';
}
export class OpenFailed extends BridgeError {
  readonly code: 'OPEN_FAILED';
}
export class PlatformError extends BridgeError {
  readonly code: 'PLATFORM_ERROR';
}
export class WriteFailed extends BridgeError {
  readonly code: 'WRITE_FAILED';
}
export class NotConnected extends BridgeError {
  readonly code: 'NOT_CONNECTED';
}
export class AddrRequired extends BridgeError {
  readonly code: 'ADDR_REQUIRED';
}
export class AlreadyConnected extends BridgeError {
  readonly code: 'ALREADY_CONNECTED';
}
export class Busy extends BridgeError {
  readonly code: 'BUSY';
}
export class TooLarge extends BridgeError {
  readonly code: 'TOO_LARGE';
}
export class AdapterOff extends BridgeError {
  readonly code: 'ADAPTER_OFF';
}
export class ConnectionClosed extends BridgeError {
  readonly code: 'CONNECTION_CLOSED';
  readonly reason: string | null;
  readonly closeCode: CloseCode | null;
}
export class BridgeExited extends BridgeError {
  readonly code: 'BRIDGE_EXITED';
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;
}
export class ProtocolMismatch extends BridgeError {
  readonly code: 'PROTOCOL_MISMATCH';
  /** What the bridge answered hello with; null when it did not answer (protocol 1 only). */
  readonly bridgeProtocol: number | null;
  readonly wanted: number;
}
