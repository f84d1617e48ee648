import { ProtocolError } from './errors.js';

// The members each known event must carry, with their kinds. Other members are kept as they
// are, under camelCase names, so that a newer supervisor's additions reach the app.
const known = {
  started: { pid: 'pid' },
  spawn_failed: { pid: 'pid', errno: 'int' },
  ready: {},
  output: { stream: 'stream', data: 'base64' },
  fd_output: { fd: 'int', data: 'base64' },
  stream_end: { fd: 'int' },
  stopping: { reason: 'string' },
  root_exit: { code: 'int' },
  failed: { stage: 'string', scope: 'string' },
  log_dropped: { frames: 'count', bytes: 'count' },
  reaped: { reason: 'string' },
};

const base64Text = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

export function camel(name) {
  return name.replace(/_([a-z0-9])/g, (_, c) => c.toUpperCase());
}

function member(kind, value, name, line) {
  const bad = () => new ProtocolError(`member "${name}" is not a valid ${kind}`, { line });
  switch (kind) {
    case 'pid':
      if (!Number.isSafeInteger(value) || value <= 0) throw bad();
      return value;
    case 'int':
      if (!Number.isSafeInteger(value)) throw bad();
      return value;
    case 'count':
      if (!Number.isSafeInteger(value) || value < 0) throw bad();
      return value;
    case 'string':
      if (typeof value !== 'string') throw bad();
      return value;
    case 'stream':
      if (value !== 'stdout' && value !== 'stderr') throw bad();
      return value;
    case 'base64':
      if (typeof value !== 'string' || !base64Text.test(value)) throw bad();
      return Buffer.from(value, 'base64');
    default:
      throw new Error(`unknown member kind ${kind}`);
  }
}

// One event line to an event object: { type, ...members }, `type` being the camelCase event
// name, or 'unknown' with the original name in `event` for an event this client does not know.
export function parseEvent(line) {
  let object;
  try {
    object = JSON.parse(line);
  } catch {
    throw new ProtocolError('event line is not JSON', { line });
  }
  if (object === null || typeof object !== 'object' || Array.isArray(object))
    throw new ProtocolError('event line is not a JSON object', { line });
  if (object.version !== 1) throw new ProtocolError(`unsupported protocol version ${JSON.stringify(object.version)}`, { line });
  if (typeof object.event !== 'string' || object.event === '')
    throw new ProtocolError('event line without an event name', { line });
  const shape = Object.hasOwn(known, object.event) ? known[object.event] : null;
  const event = shape ? { type: camel(object.event) } : { type: 'unknown', event: object.event };
  for (const [name, value] of Object.entries(object)) {
    if (name === 'version' || name === 'event') continue;
    const key = camel(name);
    if (key !== 'type' && !(shape && Object.hasOwn(shape, name))) event[key] = value;
  }
  if (shape) {
    for (const [name, kind] of Object.entries(shape)) {
      if (!Object.hasOwn(object, name)) throw new ProtocolError(`"${object.event}" line without "${name}"`, { line });
      event[camel(name)] = member(kind, object[name], name, line);
    }
  }
  return event;
}
