export { Bridge, protocol } from './src/bridge.js';
export { start } from './src/start.js';
export { Connection } from './src/connection.js';
export {
  AdapterOff,
  AddrRequired,
  AlreadyConnected,
  BadCommand,
  BridgeError,
  BridgeExited,
  Busy,
  ConnectionClosed,
  NoSerialService,
  NotConnected,
  NotVisible,
  OpenFailed,
  PairingRefused,
  PlatformError,
  ProtocolMismatch,
  TooLarge,
  WriteFailed,
} from './src/errors.js';
