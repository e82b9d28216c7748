// Calls of one kind take turns in call order. A turn is held until the bridge has answered,
// even when the caller gave up earlier, because the answer carries nothing that would tell it
// from the next call's.
export class Turns {
  #busy = false;
  #waiting = [];

  // Resolves with a function that hands the turn on. A caller aborted while still waiting
  // leaves the line without having taken a turn.
  take(signal) {
    if (signal?.aborted) return Promise.reject(signal.reason);
    if (!this.#busy) {
      this.#busy = true;
      return Promise.resolve(this.#releaser());
    }
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject, signal, onAbort: null };
      if (signal) {
        waiter.onAbort = () => {
          const at = this.#waiting.indexOf(waiter);
          if (at >= 0) this.#waiting.splice(at, 1);
          reject(signal.reason);
        };
        signal.addEventListener('abort', waiter.onAbort, { once: true });
      }
      this.#waiting.push(waiter);
    });
  }

  // Everyone still in line, when no answer can come any more.
  failAll(error) {
    const waiting = this.#waiting.splice(0);
    for (const waiter of waiting) {
      waiter.signal?.removeEventListener('abort', waiter.onAbort);
      waiter.reject(error);
    }
  }

  #releaser() {
    let done = false;
    return () => {
      if (done) return;
      done = true;
      const next = this.#waiting.shift();
      if (!next) {
        this.#busy = false;
        return;
      }
      next.signal?.removeEventListener('abort', next.onAbort);
      next.resolve(this.#releaser());
    };
  }
}
