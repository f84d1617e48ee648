// Splits a byte stream into newline-terminated lines. A line longer than `maxLine` bytes is
// reported once through onTooLong and the rest of it, up to its newline, is skipped.
export class LineSplitter {
  constructor(maxLine, onLine, onTooLong) {
    this.maxLine = maxLine;
    this.onLine = onLine;
    this.onTooLong = onTooLong;
    this.pending = [];
    this.pendingBytes = 0;
    this.skipping = false;
  }

  push(chunk) {
    let start = 0;
    for (;;) {
      const nl = chunk.indexOf(10, start);
      if (nl < 0) break;
      if (this.skipping) {
        this.skipping = false;
      } else if (this.pendingBytes + nl - start > this.maxLine) {
        this.onTooLong(this.pendingBytes + nl - start);
      } else {
        const tail = chunk.subarray(start, nl);
        const line = this.pending.length === 0 ? tail : Buffer.concat([...this.pending, tail]);
        this.pending = [];
        this.pendingBytes = 0;
        this.onLine(line.toString('utf8'));
        start = nl + 1;
        continue;
      }
      this.pending = [];
      this.pendingBytes = 0;
      start = nl + 1;
    }
    if (start >= chunk.length || this.skipping) return;
    const rest = chunk.subarray(start);
    if (this.pendingBytes + rest.length > this.maxLine) {
      this.onTooLong(this.pendingBytes + rest.length);
      this.pending = [];
      this.pendingBytes = 0;
      this.skipping = true;
      return;
    }
    // A copy, so that the pipe's chunk can be released.
    this.pending.push(Buffer.from(rest));
    this.pendingBytes += rest.length;
  }

  // Bytes left without a newline at end of file.
  get partial() {
    return this.pendingBytes;
  }
}
