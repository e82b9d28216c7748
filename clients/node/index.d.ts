/// <reference types="node" />
import { EventEmitter } from 'node:events';
import { Duplex, Readable } from 'node:stream';

/** An event of the bridge, as it wrote it ("t" names the kind). */
export interface BridgeEvent {
  t: string | null;
  [key: string]: unknown;
}

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
  /** Gives up waiting for the ready event (the process is killed). */
  signal?: AbortSignal;
}

export interface Device {
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
  /** The PIN to compare on the phone, for a numeric-comparison pairing. */
  onPin?: (pin: string) => void;
  signal?: AbortSignal;
}

export interface ConnectOptions {
  signal?: AbortSignal;
}

export function start(options?: StartOptions): Promise<Bridge>;

export class Bridge extends EventEmitter {
  /** The "backend" of the ready event: "windows" (also on the simulator) or "bluez". */
  readonly backend: string | null;
  /** The bridge's standard error: the Russian diagnostic log. */
  readonly stderr: Readable;
  readonly pid: number | undefined;
  readonly exited: boolean;
  /** The open connection, if any. */
  readonly connection: Connection | null;

  /** Devices the inquiry hears, until the scan ends. Scans run one at a time. */
  scan(options?: ScanOptions): AsyncGenerator<Device, void, undefined>;
  /** Resolves once paired. Pairings run one at a time, in call order. */
  pair(addr: string, options?: PairOptions): Promise<void>;
  /** Resolves with the open connection. One connection at a time, in call order. */
  connect(addr: string, options?: ConnectOptions): Promise<Connection>;
  /** Ends the bridge's input; it disconnects and exits. Resolves with its exit status. */
  close(options?: { timeout?: number }): Promise<number | null>;

  on(event: 'event', listener: (event: BridgeEvent) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

/** The serial-port connection as a byte stream. Framing is the host's. */
export class Connection extends Duplex {
  readonly addr: string;
  /** The closed event's reason, once the bridge has reported the end. */
  readonly closeReason: string | null;
}

export type BridgeErrorCode =
  | 'NOT_VISIBLE'
  | 'NO_SERIAL_SERVICE'
  | 'PAIRING_REFUSED'
  | 'OPEN_FAILED'
  | 'PLATFORM_ERROR'
  | 'WRITE_FAILED'
  | 'CONNECTION_CLOSED'
  | 'BRIDGE_EXITED';

export class BridgeError extends Error {
  readonly code: BridgeErrorCode;
  /** The bridge's original text. */
  readonly text: string;
}
export class NotVisible extends BridgeError {
  readonly code: 'NOT_VISIBLE';
}
export class NoSerialService extends BridgeError {
  readonly code: 'NO_SERIAL_SERVICE';
}
export class PairingRefused extends BridgeError {
  readonly code: 'PAIRING_REFUSED';
  readonly status: number;
}
export class OpenFailed extends BridgeError {
  readonly code: 'OPEN_FAILED';
}
export class PlatformError extends BridgeError {
  readonly code: 'PLATFORM_ERROR';
  /** The failure code, unsigned; null when the text had no "(0x%08X)". */
  readonly hresult: number | null;
}
export class WriteFailed extends BridgeError {
  readonly code: 'WRITE_FAILED';
}
export class ConnectionClosed extends BridgeError {
  readonly code: 'CONNECTION_CLOSED';
  readonly reason: string | null;
}
export class BridgeExited extends BridgeError {
  readonly code: 'BRIDGE_EXITED';
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;
}
