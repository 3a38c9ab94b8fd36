package calvora.devicedriver.demo;

/** Text from outside (arguments, files, messages quoting them) made safe to echo on a terminal. */
final class Printable {
    private Printable() {
    }

    /**
     * `text` with every control character escaped as trackd-sim and trackd-monitor escape them: C0 controls
     * (the newline too) and DEL as backslash, x and two hex digits; C1 controls, and unpaired surrogates,
     * which no terminal could be sent, as backslash, u and four hex digits. Everything else is kept.
     */
    static String of(String text) {
        if (text == null) {
            return "null";
        }
        StringBuilder out = new StringBuilder(text.length());
        for (int i = 0; i < text.length();) {
            int c = text.codePointAt(i);
            i += Character.charCount(c);
            if (c < 0x20 || c == 0x7f) {
                out.append(String.format("\\x%02x", c));
            } else if (c >= 0x80 && c <= 0x9f || c <= 0xffff && Character.isSurrogate((char) c)) {
                out.append(String.format("\\u%04x", c));
            } else {
                out.appendCodePoint(c);
            }
        }
        return out.toString();
    }
}
