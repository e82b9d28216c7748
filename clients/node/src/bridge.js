import { EventEmitter } from 'node:events';
import { rmSync } from 'node:fs';
import { StringDecoder } from 'node:string_decoder';

import { canonical } from './address.js';
import { Connection } from './connection.js';
import { BridgeExited, ProtocolMismatch, fromEvent } from './errors.js';

// The protocol this client speaks; the bridge it ships with speaks it too.
export const protocol = 2;

// How long close() lets the bridge end on its own before it is killed.
const closeGraceMs = 5000;
// A bridge of protocol 1 only never answers hello; it logs the line as unknown (below), and
// this is the last resort.
const helloTimeoutMs = 10_000;
const unknownHello = '[cmd] незнакомая команда: «hello»';

// The final event of each command, besides an error (docs/protocol.md).
const finals = {
  scan: 'scan-done',
  'stop-scan': 'ok',
  pair: 'pair-result',
  connect: 'connected',
  send: 'sent',
  disconnect: 'closed',
};

function whenAborted(signal, onAbort) {
  if (!signal) return () => {};
  signal.addEventListener('abort', onAbort, { once: true });
  return () => signal.removeEventListener('abort', onAbort);
}

function abortable(promise, signal) {
  if (!signal) return promise;
  return new Promise((resolve, reject) => {
    const stop = whenAborted(signal, () => reject(signal.reason));
    promise.then(
      (value) => (stop(), resolve(value)),
      (error) => (stop(), reject(error)),
    );
  });
}

export class Bridge extends EventEmitter {
  // From the bridge's hello: its backend ("sim", "windows", "bluez"), version, protocol and
  // the window of bytes a connection may have accepted and not yet stored.
  backend = null;
  version = null;
  protocol = null;
  window = null;
  // The adapter's state: "on", "off" or "absent"; changes also come as 'adapter' events.
  adapter = null;
  // The bridge's standard error (the Russian log); also delivered line by line to onLog.
  stderr;

  #child;
  #options;
  #worldDir;
  #stdoutRest = Buffer.alloc(0);
  #stderrRest = '';
  #stderrDecoder = new StringDecoder('utf8');
  #logTail = [];
  #starting = null; // { resolve, reject } until hello has been answered
  #exited = null;
  #exitedPromise;
  #closing = false;
  #closed = null; // close()'s promise
  #spawnError = null;
  #holds = 0;
  #ending = false; // closed by the host or exited: the output is read to its end

  #nextId = 1;
  // Each command sent and not yet finally answered, by id: { event(e) -> final?, exit(error) }.
  #calls = new Map();
  // Open connections by canonical address, from connected until their closed event.
  #connections = new Map();
  // Connects given up on after they were sent, by canonical address: the bridge still holds
  // the address until their answer (and, if they opened, their disconnect) has come.
  #abandoned = new Map();

  constructor(child, options, worldDir) {
    super();
    this.#child = child;
    this.#options = options;
    this.#worldDir = worldDir;
    this.stderr = child.stderr;
    this.pid = child.pid;

    child.stdout.on('data', (chunk) => this.#onStdout(chunk));
    child.stderr.on('data', (chunk) => this.#onStderr(chunk));
    // A bridge gone away makes writes fail with EPIPE; its exit says the rest.
    child.stdin.on('error', () => {});
    this.#exitedPromise = new Promise((resolve) => {
      child.on('error', (error) => {
        this.#spawnError = error;
        // A spawn that failed emits no 'close' when it never started.
        if (child.pid === undefined) this.#onExit(null, null, resolve);
      });
      // 'close' waits for the output to be read to its end, which a held reader would stop.
      child.on('exit', () => {
        this.#ending = true;
        child.stdout.resume();
      });
      child.on('close', (code, sig) => this.#onExit(code, sig, resolve));
    });
  }

  get exited() {
    return this.#exited !== null;
  }

  // The open connections, in the order they opened.
  get connections() {
    return [...this.#connections.values()].filter((c) => !c.destroyed);
  }

  // The open connection; the latest opened when several are.
  get connection() {
    return this.connections.at(-1) ?? null;
  }

  // Resolves once the bridge is ready and speaks this client's protocol.
  _ready(signal) {
    return new Promise((resolve, reject) => {
      let timer = null;
      const stop = whenAborted(signal, () => finish(signal.reason));
      const finish = (error) => {
        if (!this.#starting) return;
        this.#starting = null;
        stop();
        clearTimeout(timer);
        if (error) reject(error);
        else resolve();
      };
      const ready = () => {
        timer = setTimeout(() => finish(new ProtocolMismatch(null, protocol)), helloTimeoutMs);
      };
      this.#starting = { ready, finish };
    });
  }

  // --- scan

  // Devices the inquiry hears, until the scan ends. The scan command goes out when iteration
  // starts.
  scan({ seconds, signal } = {}) {
    return this.#runScan(seconds, signal);
  }

  async *#runScan(seconds, signal) {
    signal?.throwIfAborted();
    this.#checkRunning();
    const scan = { found: [], done: false, error: null, wake: null, abandoned: false };
    const wake = () => {
      const w = scan.wake;
      scan.wake = null;
      w?.();
    };
    this.#request(seconds === undefined ? { t: 'scan' } : { t: 'scan', seconds }, {
      event: (event) => {
        const final = event.t === 'scan-done' || event.t === 'error';
        if (scan.abandoned || (event.t !== 'device' && !final)) {
          this.#unanswered(event);
          return final;
        }
        const { addr, name, paired } = event;
        if (event.t === 'device') scan.found.push({ addr, name, paired });
        else if (event.code !== undefined) scan.error = fromEvent(event);
        scan.done = final;
        wake();
        return final;
      },
      exit: (error) => {
        scan.error = error;
        scan.done = true;
        wake();
      },
    });
    try {
      for (;;) {
        signal?.throwIfAborted();
        if (scan.found.length) {
          yield scan.found.shift();
          continue;
        }
        if (scan.error) throw scan.error;
        if (scan.done) return;
        await new Promise((resolve, reject) => {
          const stop = whenAborted(signal, () => reject(signal.reason));
          scan.wake = () => (stop(), resolve());
        });
      }
    } finally {
      if (!scan.done) {
        // The inquiry runs to its end anyway; its devices go to the event hook meanwhile.
        scan.abandoned = true;
        for (const device of scan.found.splice(0)) this.#unanswered({ t: 'device', ...device });
      }
    }
  }

  // --- pair

  // Resolves when the bridge reports the device paired. For a numeric comparison onPin gets
  // the PIN to show; an async onPin is awaited, and one that fails fails the call.
  async pair(addr, { onPin, signal } = {}) {
    checkAddr(addr);
    signal?.throwIfAborted();
    this.#checkRunning();
    return new Promise((resolve, reject) => {
      let abandoned = false;
      let pinDone = null;
      const abandon = (error) => {
        if (abandoned) return;
        abandoned = true;
        stop();
        reject(error);
      };
      const stop = whenAborted(signal, () => abandon(signal.reason));
      this.#request({ t: 'pair', addr }, {
        event: (event) => {
          const final = event.t === 'pair-result' || event.t === 'error';
          // The late answer of a call given up on: seen by the hook, matched to nothing else.
          if (abandoned || (!final && (event.t !== 'pairing-code' || !onPin))) {
            this.#unanswered(event);
            return final;
          }
          if (!final) {
            // The ceremony goes on in the bridge whatever the callback does.
            try {
              const result = onPin(event.code);
              if (typeof result?.then === 'function') pinDone = Promise.resolve(result);
            } catch (error) {
              abandon(error);
            }
            pinDone?.catch(abandon);
            return false;
          }
          const outcome = event.t === 'pair-result' && event.ok === true ? null : fromEvent(event);
          (pinDone ?? Promise.resolve()).then(
            () => {
              if (abandoned) return;
              stop();
              if (outcome) reject(outcome);
              else resolve();
            },
            () => {},
          );
          return true;
        },
        exit: abandon,
      });
    });
  }

  // --- connect

  // Resolves with the open Connection. Several may be open at once, one per address; a
  // connect to an address already open fails with ALREADY_CONNECTED, except that one ending
  // (end(), destroy()) or given up on is waited for.
  async connect(addr, { signal } = {}) {
    checkAddr(addr);
    signal?.throwIfAborted();
    this.#checkRunning();
    const key = canonical(addr);
    if (key) await this.#addressFree(key, signal);
    signal?.throwIfAborted();
    this.#checkRunning();
    return new Promise((resolve, reject) => {
      let abandoned = false;
      let released;
      const stop = whenAborted(signal, () => {
        abandoned = true;
        reject(signal.reason);
        if (key) this.#abandoned.set(key, new Promise((r) => (released = r)));
      });
      const release = () => {
        if (!released) return;
        this.#abandoned.delete(key);
        released();
      };
      this.#request({ t: 'connect', addr }, {
        event: (event) => {
          if (event.t === 'connected') {
            const connection = new Connection(this, event.addr, this.window);
            this.#connections.set(event.addr, connection);
            if (abandoned) {
              this.#unanswered(event);
              connection._gone().then(release);
              connection.destroy();
            } else {
              stop();
              resolve(connection);
            }
            return true;
          }
          // A failure comes as closed, then error; error is the final one.
          if (abandoned || event.t !== 'error') {
            if (abandoned || event.t !== 'closed') this.#unanswered(event);
            if (event.t === 'error') release();
            return false;
          }
          stop();
          reject(fromEvent(event));
          return true;
        },
        exit: (error) => {
          release();
          if (abandoned) return;
          stop();
          reject(error);
        },
      });
    });
  }

  async #addressFree(key, signal) {
    for (;;) {
      const open = this.#connections.get(key);
      const held =
        this.#abandoned.get(key) ?? (open && (open.writableEnded || open.destroyed) ? open._gone() : null);
      if (!held) return;
      await abortable(held, signal);
    }
  }

  // --- anything else

  // Sends a command the client has no call for (stop-scan, say) and resolves with its final
  // event; a failure rejects with its BridgeError. The client sets the id; the events before
  // the final one go to the event hook. Bytes sent this way bypass the connections' window.
  async request(command, { signal } = {}) {
    if (command?.t === 'hello') {
      throw new TypeError('the client says hello itself: another would change the protocol');
    }
    if (typeof command?.t !== 'string') throw new TypeError('a command needs its "t"');
    signal?.throwIfAborted();
    this.#checkRunning();
    const { id, ...rest } = command;
    return new Promise((resolve, reject) => {
      let abandoned = false;
      const stop = whenAborted(signal, () => {
        abandoned = true;
        reject(signal.reason);
      });
      this.#request(rest, {
        event: (event) => {
          // A connection the client holds still learns of its end.
          if (event.t === 'closed') this.#onClosed(event, false);
          const final = event.t === 'error' || event.t === finals[command.t];
          if (abandoned || !final) this.#unanswered(event);
          else {
            stop();
            if (event.t === 'error') reject(fromEvent(event));
            else resolve(event);
          }
          return final;
        },
        exit: (error) => {
          if (abandoned) return;
          stop();
          reject(error);
        },
      });
    });
  }

  // --- end

  // Closes standard input: the bridge disconnects and exits. Resolves with its exit status.
  // Connections being ended first get their last bytes stored and their disconnect, as a
  // socket's end() would, for up to `timeout`; then the bridge has as long to exit.
  close({ timeout = closeGraceMs } = {}) {
    this.#closed ??= this.#close(timeout);
    return this.#closed;
  }

  async #close(timeout) {
    if (this.#exited) return this.#exited.code;
    this.#closing = true;
    this.#ending = true;
    this.#child.stdout.resume();
    const ending = this.connections.filter((c) => c.writableEnded);
    if (ending.length) await this.#within(timeout, Promise.all(ending.map((c) => c._gone())));
    this.#child.stdin.end();
    const timer = setTimeout(() => this.#child.kill('SIGKILL'), timeout);
    await this.#exitedPromise;
    clearTimeout(timer);
    return this.#exited.code;
  }

  // Resolves once `promise` has, or after `ms`, or once the bridge has exited.
  async #within(ms, promise) {
    let timer;
    try {
      return await Promise.race([
        promise,
        this.#exitedPromise.then(() => undefined),
        new Promise((resolve) => (timer = setTimeout(resolve, ms))),
      ]);
    } finally {
      clearTimeout(timer);
    }
  }

  async _kill() {
    if (!this.#exited) {
      this.#closing = true;
      this.#child.kill('SIGKILL');
    }
    await this.#exitedPromise;
  }

  // --- used by Connection

  // One send; onAnswer gets its sent or error event. Returns its id.
  _send(addr, bytes, onAnswer) {
    const id = this.#nextId++;
    this.#calls.set(id, {
      event: (event) => (onAnswer(event), true),
      exit: () => {},
    });
    if (this.#exited) return id;
    const b64 = bytes.toString('base64');
    this.#child.stdin.write(`{"t":"send","id":${id},"addr":"${addr}","b64":"${b64}"}\n`);
    return id;
  }

  // A send whose connection has ended: its answer, should one still come, means nothing.
  _forget(id) {
    if (this.#calls.has(id)) this.#calls.set(id, { event: () => true, exit: () => {} });
  }

  // The host is closing the bridge, which disconnects everything itself.
  get _closing() {
    return this.#closing;
  }

  _disconnect(addr) {
    if (this.#exited || this.#child.stdin.writableEnded) return;
    this.#request({ t: 'disconnect', addr }, {
      // Or NOT_CONNECTED, when the connection had ended meanwhile with a closed of its own.
      event: (event) => {
        if (event.t === 'closed') this.#onClosed(event);
        else if (event.t !== 'error') this.#unanswered(event);
        return event.t === 'closed';
      },
      exit: () => {},
    });
  }

  // A connection whose reader is full stops the bridge's output until it is read again: the
  // pipe then fills and the bridge waits, as a socket's sender would.
  _holdOutput(hold) {
    this.#holds += hold ? 1 : -1;
    if (this.#holds > 0 && !this.#ending) this.#child.stdout.pause();
    else this.#child.stdout.resume();
  }

  // --- internals

  #request(command, call) {
    const id = this.#nextId++;
    const { t, ...rest } = command;
    this.#calls.set(id, call);
    this.#child.stdin.write(`${JSON.stringify({ t, id, ...rest })}\n`);
    return id;
  }

  #checkRunning() {
    if (this.#exited) throw this.#exitError();
    if (this.#closing) throw new BridgeExited(null, null, 'the host closed the bridge');
  }

  #exitError() {
    const { code = null, signal = null } = this.#exited ?? {};
    // A failed start says why in its last log lines.
    const failed = code !== 0 || this.#starting !== null;
    return new BridgeExited(code, signal, failed ? this.#logTail.join('\n') : '');
  }

  #onStdout(chunk) {
    const data = this.#stdoutRest.length ? Buffer.concat([this.#stdoutRest, chunk]) : chunk;
    let start = 0;
    for (let end = data.indexOf(10); end >= 0; end = data.indexOf(10, start)) {
      let stop = end;
      if (stop > start && data[stop - 1] === 13) stop--;
      if (stop > start) this.#onLine(data.toString('utf8', start, stop));
      start = end + 1;
    }
    this.#stdoutRest = start < data.length ? Buffer.from(data.subarray(start)) : Buffer.alloc(0);
  }

  #onStderr(chunk) {
    const text = this.#stderrRest + this.#stderrDecoder.write(chunk);
    const lines = text.split('\n');
    this.#stderrRest = lines.pop();
    for (const raw of lines) this.#onLogLine(raw.endsWith('\r') ? raw.slice(0, -1) : raw);
  }

  #onLogLine(line) {
    this.#logTail.push(line);
    if (this.#logTail.length > 5) this.#logTail.shift();
    if (this.#starting && line.startsWith(unknownHello)) {
      this.#starting.finish(new ProtocolMismatch(null, protocol));
    }
    this.#options.onLog?.(line);
  }

  #onLine(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      this.#unanswered({ t: null, line });
      return;
    }
    if (event?.id !== undefined) {
      const call = this.#calls.get(event.id);
      if (!call) return this.#unanswered(event);
      // An error carrying a command's id is always its last answer.
      if (call.event(event) || event.t === 'error') this.#calls.delete(event.id);
      return;
    }
    switch (event?.t) {
      case 'ready':
        return this.#onReady(event);
      case 'data':
        return this.#onData(event);
      case 'closed':
        return this.#onClosed(event);
      case 'adapter':
        return this.#onAdapter(event.state);
      default:
        return this.#unanswered(event);
    }
  }

  // Every event that answers no pending call ends here, so none is lost silently.
  #unanswered(event) {
    this.#options.onEvent?.(event);
    this.emit('event', event);
  }

  #onReady(event) {
    const starting = this.#starting;
    if (!starting) return this.#unanswered(event);
    starting.ready();
    this.#request({ t: 'hello', protocol }, {
      event: (answer) => {
        if (answer.t === 'hello' && answer.protocol === protocol) {
          this.protocol = answer.protocol;
          this.version = answer.version ?? null;
          this.backend = answer.backend ?? null;
          this.window = answer.window;
          this.adapter = answer.adapter ?? null;
          starting.finish();
        } else {
          starting.finish(new ProtocolMismatch(answer.protocol ?? null, protocol));
        }
        return true;
      },
      exit: () => {},
    });
  }

  #onData(event) {
    const connection = this.#connections.get(event.addr);
    if (!connection || !connection._data(Buffer.from(event.b64 ?? '', 'base64'))) this.#unanswered(event);
  }

  #onClosed(event, unanswered = true) {
    const connection = this.#connections.get(event.addr);
    if (!connection) {
      if (unanswered) this.#unanswered(event);
      return;
    }
    this.#connections.delete(event.addr);
    connection._ended(event.code ?? null, event.reason ?? null, this.#closing);
  }

  #onAdapter(state) {
    if (state === this.adapter) return;
    this.adapter = state;
    this.emit('adapter', state);
  }

  #onExit(code, signal, resolve) {
    if (this.#exited) return;
    this.#exited = { code, signal };
    if (this.#stdoutRest.length) {
      this.#onLine(this.#stdoutRest.toString('utf8'));
      this.#stdoutRest = Buffer.alloc(0);
    }
    this.#stderrRest += this.#stderrDecoder.end();
    if (this.#stderrRest) {
      this.#onLogLine(this.#stderrRest);
      this.#stderrRest = '';
    }
    if (this.#worldDir) rmSync(this.#worldDir, { recursive: true, force: true });
    const error = this.#spawnError ?? this.#exitError();

    this.#starting?.finish(error);
    const calls = [...this.#calls.values()];
    this.#calls.clear();
    for (const call of calls) call.exit(error);
    const connections = [...this.#connections.values()];
    this.#connections.clear();
    // After close() a connection ends as after a disconnect; otherwise it was lost.
    for (const connection of connections) connection._lost(this.#closing ? null : error);
    this.emit('exit', code, signal);
    resolve();
  }
}

function checkAddr(addr) {
  if (typeof addr !== 'string') throw new TypeError('addr must be a string');
}
