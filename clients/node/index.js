export { Bridge } from './src/bridge.js';
export { start } from './src/start.js';
export { Connection } from './src/connection.js';
export {
  BridgeError,
  BridgeExited,
  ConnectionClosed,
  NoSerialService,
  NotVisible,
  OpenFailed,
  PairingRefused,
  PlatformError,
  WriteFailed,
} from './src/errors.js';
