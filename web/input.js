// The live picture and the technician's mouse and keyboard over it. Positions
// become fractions of the picture (0…1 from its top-left corner), keys become
// Mac virtual key codes by their place on the keyboard, modifiers Mac flags.
// Nothing is sent from here: every message goes to emit().

// KeyboardEvent.code → Mac virtual key code (ANSI layout).
export const MAC_KEY_CODES = Object.freeze({
  KeyA: 0, KeyS: 1, KeyD: 2, KeyF: 3, KeyH: 4, KeyG: 5, KeyZ: 6, KeyX: 7, KeyC: 8, KeyV: 9, IntlBackslash: 10,
  KeyB: 11, KeyQ: 12, KeyW: 13, KeyE: 14, KeyR: 15, KeyY: 16, KeyT: 17, Digit1: 18, Digit2: 19, Digit3: 20,
  Digit4: 21, Digit6: 22, Digit5: 23, Equal: 24, Digit9: 25, Digit7: 26, Minus: 27, Digit8: 28, Digit0: 29,
  BracketRight: 30, KeyO: 31, KeyU: 32, BracketLeft: 33, KeyI: 34, KeyP: 35, Enter: 36, KeyL: 37, KeyJ: 38,
  Quote: 39, KeyK: 40, Semicolon: 41, Backslash: 42, Comma: 43, Slash: 44, KeyN: 45, KeyM: 46, Period: 47,
  Tab: 48, Space: 49, Backquote: 50, Backspace: 51, Escape: 53, NumpadDecimal: 65, NumpadMultiply: 67,
  NumpadAdd: 69, NumLock: 71, NumpadDivide: 75, NumpadEnter: 76, NumpadSubtract: 78, NumpadEqual: 81,
  Numpad0: 82, Numpad1: 83, Numpad2: 84, Numpad3: 85, Numpad4: 86, Numpad5: 87, Numpad6: 88, Numpad7: 89,
  Numpad8: 91, Numpad9: 92, F5: 96, F6: 97, F7: 98, F3: 99, F8: 100, F9: 101, F11: 103, F13: 105, F16: 106,
  F14: 107, F10: 109, F12: 111, F15: 113, Insert: 114, Home: 115, PageUp: 116, Delete: 117, F4: 118, End: 119,
  F2: 120, PageDown: 121, F1: 122, ArrowLeft: 123, ArrowRight: 124, ArrowDown: 125, ArrowUp: 126,
  F17: 64, F18: 79, F19: 80, F20: 90,
});

const MODIFIER_KEYS = new Set(['Shift', 'Control', 'Alt', 'AltGraph', 'Meta', 'OS', 'CapsLock', 'Fn']);
const NAMED_KEYS = new Set(['Enter', 'Backspace', 'Tab', 'Escape', 'ArrowLeft', 'ArrowRight', 'ArrowUp',
  'ArrowDown']);

// The key message of one keydown, or null for a key that only modifies or
// that a Mac keyboard lacks.
export function keyMessage(event) {
  if (MODIFIER_KEYS.has(event.key)) return null;
  const code = MAC_KEY_CODES[event.code];
  if (code === undefined) return null;
  const flags = (event.getModifierState?.('CapsLock') ? 0x10000 : 0) | (event.shiftKey ? 0x20000 : 0) |
    (event.ctrlKey ? 0x40000 : 0) | (event.altKey ? 0x80000 : 0) | (event.metaKey ? 0x100000 : 0);
  const single = [...event.key].length === 1;
  const key = NAMED_KEYS.has(event.key) || single ? event.key : '';
  return { kind: 'keycode', code, flags, key };
}

// Where the picture sits inside a box of w × h when fitted whole (the
// video's object-fit: contain). Until the first frame it is 16:10.
export function pictureRect(w, h, videoW, videoH) {
  const vw = videoW > 0 ? videoW : 16;
  const vh = videoH > 0 ? videoH : 10;
  const s = Math.min(w / vw, h / vh);
  return { x: (w - vw * s) / 2, y: (h - vh * s) / 2, width: vw * s, height: vh * s };
}

const clamp01 = (v) => (Number.isFinite(v) ? Math.min(1, Math.max(0, v)) : 0);
const BUTTONS = ['left', undefined, 'right'];
const LINE_PIXELS = 16;

export class InputView {
  #held = false;
  #button = 'left';
  #last = { x: 0.5, y: 0.5 };

  constructor(video, emit) {
    this.video = video;
    this.emit = emit;
    this.allowed = false;
    video.addEventListener('mousemove', (e) => {
      if (!this.allowed || this.#held) return;
      const p = this.#map(e);
      if (p.inside) this.#pointer('hover', p, e.detail);
    });
    video.addEventListener('mousedown', (e) => {
      const button = BUTTONS[e.button];
      const p = this.#map(e);
      if (!button || !this.allowed || !p.inside) return;
      e.preventDefault();
      video.focus();
      this.#held = true;
      this.#button = button;
      this.#pointer('down', p, e.detail);
    });
    // Drags and the release are followed outside the picture too.
    window.addEventListener('mousemove', (e) => {
      if (this.#held && this.allowed && e.buttons !== 0) this.#pointer('move', this.#map(e), 0);
    });
    window.addEventListener('mouseup', (e) => {
      if (!this.#held || BUTTONS[e.button] === undefined) return;
      this.#held = false;
      this.#pointer('up', this.#map(e), e.detail);
    });
    video.addEventListener('contextmenu', (e) => e.preventDefault());
    video.addEventListener('wheel', (e) => {
      if (!this.allowed) return;
      e.preventDefault();
      const k = e.deltaMode === 1 ? LINE_PIXELS : e.deltaMode === 2 ? video.clientHeight : 1;
      // A Mac scrolls up for a positive distance, a browser down.
      this.emit({ kind: 'scroll', x: -e.deltaX * k, y: -e.deltaY * k });
    }, { passive: false });
    video.addEventListener('keydown', (e) => {
      if (!this.allowed) return;
      // Keeps the browser's own shortcuts (find, save, reload, back…) for the Mac.
      e.preventDefault();
      const message = keyMessage(e);
      if (message) this.emit(message);
    });
    video.addEventListener('blur', () => this.release());
    window.addEventListener('blur', () => this.release());
  }

  #map(e) {
    const box = this.video.getBoundingClientRect();
    const r = pictureRect(box.width, box.height, this.video.videoWidth, this.video.videoHeight);
    const px = e.clientX - box.left - r.x;
    const py = e.clientY - box.top - r.y;
    const inside = px >= 0 && py >= 0 && px <= r.width && py <= r.height;
    return { x: clamp01(px / Math.max(r.width, 1)), y: clamp01(py / Math.max(r.height, 1)), inside };
  }

  #pointer(action, { x, y }, clicks) {
    this.#last = { x, y };
    this.emit({ kind: 'pointer', action, button: this.#button, clicks: Math.max(1, clicks | 0), x, y });
  }

  // Lets go of a held button (the session ended or the page lost focus).
  release() {
    if (!this.#held) return;
    this.#held = false;
    this.emit({ kind: 'pointer', action: 'up', button: this.#button, clicks: 1, ...this.#last });
  }

  // Keeps a long press alive on the Mac, which lets go after 3 s of silence.
  renewHold() {
    if (this.#held && this.allowed) {
      this.emit({ kind: 'pointer', action: 'move', button: this.#button, clicks: 1, ...this.#last });
    }
  }
}
