#!/usr/bin/env python3
"""Per-frame stage times from the traces of kestrelink_traced.exe (see bench/frame_trace.cpp).

  frame_stages.py HOST_TRACE HOST_FROM HOST_TO VIEWER_TRACE VIEWER_FROM VIEWER_TO
      reads lines FROM..TO (1-based, TO exclusive) of each trace and prints one JSON line:
      for each stage the p50 and p99 in milliseconds over the frames the viewer decoded,
      the capture periods' own stages over every period, the frame counts, and the stages of
      the viewer's input events on their way to the host ("input")."""
import json, sys

(PERIOD, GRABBED, COMPARED, ENCODED, QUEUED, DEQUEUED, SEALED, SENT, RECEIVED, DRAINED, OPENED,
 SUPERSEDED, DECODED, PAINTED, INPUT_QUEUED, INPUT_SENT, INPUT_APPLIED, SCALED, TAKEN) = range(19)


def read(path, first, last):
    marks = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if number < first or number >= last or line.startswith('#'):
                continue
            parts = line.split()
            if len(parts) == 5:
                marks.append((float(parts[0]) / 1000, int(parts[1]), int(parts[2]), int(parts[3]), int(parts[4])))
    return marks


def pct(values, p):
    s = sorted(values)
    return round(s[min(len(s) - 1, int(len(s) * p / 100))], 2) if s else None


def main(args):
    if len(args) != 6:
        print(__doc__)
        sys.exit(0 if args == ['--help'] else 2)
    host = read(args[0], int(args[1]), int(args[2]))
    viewer = read(args[3], int(args[4]), int(args[5]))

    # Capture periods, in the capture thread's order; a Queued mark belongs to the period before it.
    periods, current, queued_at = [], None, {}
    by_sequence = {}
    for t, thread, stage, a, b in host:
        if stage == PERIOD:
            current = {'start': t, 'thread': thread}
            periods.append(current)
        elif current is not None and thread == current['thread'] and stage in (GRABBED, COMPARED, ENCODED):
            current[stage] = t
            if stage == COMPARED:
                current['equal'] = b
        elif stage == QUEUED:
            queued_at[a] = (t, current if current is not None and thread == current['thread'] else None)
        elif stage == DEQUEUED and a in queued_at:
            tq, period = queued_at.pop(a)
            pending = {'queued': tq, 'dequeued': t, 'period': period}
            queued_at[('taken', a)] = pending
        elif stage == SEALED and ('taken', a) in queued_at:
            frame = queued_at.pop(('taken', a))
            frame['sealed'] = t
            by_sequence[b] = frame
        elif stage == SENT and b in by_sequence:
            by_sequence[b]['sent'] = t

    stages = {k: [] for k in ('grab', 'compare', 'encode', 'queue', 'seal', 'send',
                              'relay + receive', 'drain wait', 'open', 'decode', 'paint', 'scale', 'show', 'wake',
                              'grab to paint')}
    superseded = decoded = 0
    last_decoded = None
    for t, thread, stage, a, b in viewer:
        frame = by_sequence.get(b)
        if stage in (RECEIVED, DRAINED, OPENED) and frame is not None:
            frame.setdefault(stage, t)
        elif stage == SUPERSEDED:
            superseded += 1
        elif stage == DECODED and frame is not None:
            decoded += 1
            frame[DECODED] = t
            last_decoded = frame
        elif stage in (SCALED, TAKEN) and frame is not None:
            frame[stage] = t
        elif stage == PAINTED and last_decoded is not None:
            frame, last_decoded = last_decoded, None
            p = frame['period']
            if p is None or 'sent' not in frame or any(s not in frame for s in (RECEIVED, DRAINED, OPENED)):
                continue
            stages['grab'].append(p[GRABBED] - p['start'])
            stages['compare'].append(p[COMPARED] - p[GRABBED])
            stages['encode'].append(p[ENCODED] - p[COMPARED] if ENCODED in p else 0)
            stages['queue'].append(frame['dequeued'] - frame['queued'])
            stages['seal'].append(frame['sealed'] - frame['dequeued'])
            stages['send'].append(frame['sent'] - frame['sealed'])
            stages['relay + receive'].append(frame[RECEIVED] - frame['sent'])
            stages['drain wait'].append(frame[DRAINED] - frame[RECEIVED])
            stages['open'].append(frame[OPENED] - frame[DRAINED])
            stages['decode'].append(frame[DECODED] - frame[OPENED])
            stages['paint'].append(t - frame[DECODED])
            if SCALED in frame:
                stages['scale'].append(frame[SCALED] - frame[DECODED])
                stages['show'].append(t - frame[SCALED])
            if SCALED in frame and TAKEN in frame:
                stages['wake'].append(frame[TAKEN] - frame[SCALED])
            stages['grab to paint'].append(t - p['start'])
    # Input events, viewer to host: queued and sent by the viewer, received, drained and applied
    # by the host (the host receives nothing else, so its Received marks are input).
    queued_input, sent_input = {}, {}
    for t, thread, stage, a, b in viewer:
        if stage == INPUT_QUEUED:
            queued_input[a] = t
        elif stage == INPUT_SENT and a in queued_input:
            sent_input[b] = {'queued': queued_input.pop(a), 'sent': t}
    for t, thread, stage, a, b in host:
        if stage in (RECEIVED, DRAINED, INPUT_APPLIED) and b in sent_input:
            sent_input[b].setdefault(stage, t)
    inputs = {k: [] for k in ('queue and send', 'relay + receive', 'host queue', 'apply', 'total')}
    for e in sent_input.values():
        if all(s in e for s in (RECEIVED, DRAINED, INPUT_APPLIED)):
            inputs['queue and send'].append(e['sent'] - e['queued'])
            inputs['relay + receive'].append(e[RECEIVED] - e['sent'])
            inputs['host queue'].append(e[DRAINED] - e[RECEIVED])
            inputs['apply'].append(e[INPUT_APPLIED] - e[DRAINED])
            inputs['total'].append(e[INPUT_APPLIED] - e['queued'])
    starts = [p['start'] for p in periods]
    waits = [b - a for a, b in zip(starts, starts[1:])]
    busy = [p[COMPARED] - p['start'] + (p[ENCODED] - p[COMPARED] if ENCODED in p else 0) for p in periods if COMPARED in p]
    out = {
        'frames': len(stages['grab']), 'decoded': decoded, 'superseded': superseded,
        'periods': len(periods), 'encoded': sum(1 for p in periods if ENCODED in p),
        'period': {'p50': pct(waits, 50), 'p99': pct(waits, 99)},
        'periodWork': {'p50': pct(busy, 50), 'p99': pct(busy, 99)},
        'periodGrab': {'p50': pct([p[GRABBED] - p['start'] for p in periods if GRABBED in p], 50)},
        'periodEncode': {'p50': pct([p[ENCODED] - p[COMPARED] for p in periods if ENCODED in p], 50)},
    }
    for name, values in stages.items():
        out[name] = {'p50': pct(values, 50), 'p99': pct(values, 99)}
    out['input'] = {name: {'p50': pct(v, 50), 'p99': pct(v, 99)} for name, v in inputs.items()}
    out['input']['events'] = len(inputs['total'])
    print(json.dumps(out))


if __name__ == '__main__':
    main(sys.argv[1:])
