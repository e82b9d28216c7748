// The bridge names every device and link in one form, "A4:50:46:12:34:56"; the client keys its
// connections by it. It takes 12 hex digits, either case, optionally in pairs joined by ":"
// or "-" (one separator throughout).
const form = /^[0-9A-Fa-f]{2}(?:([:-]?)[0-9A-Fa-f]{2})(?:\1[0-9A-Fa-f]{2}){4}$/;

// The canonical form, or null for a text the bridge would refuse (it answers BAD_COMMAND).
export function canonical(addr) {
  if (!form.test(addr)) return null;
  const digits = addr.replace(/[:-]/g, '').toUpperCase();
  return digits.match(/../g).join(':');
}
