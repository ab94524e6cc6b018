#!/usr/bin/python3
# A screen reader's view of the real client, through AT-SPI: run inside its own D-Bus session
# (dbus-run-session), it starts the accessibility bus, starts the client on the given X display
# and checks the tree, the events for typing, ticking, focus and new log lines, and how fast
# requests are answered. Prints one "ok <check>" or "FAIL <check>: why" per check and
# "measure <name> <value>" lines; exits 0 only when every check passed.
#
# Usage: atspi_probe.py CLIENT DIR DISPLAY BROKER_PORT [no-bridge]   (DIR holds the client's font)
# With no-bridge the client runs with NO_AT_BRIDGE=1: its window comes up, it stays off the bus.
# With orca, Orca itself runs beside the client and what it would say is read from its debug file.

import os
import signal
import statistics
import subprocess
import sys
import time
import warnings

import gi

gi.require_version('Atspi', '2.0')
gi.require_version('Gio', '2.0')
from gi.repository import Atspi, Gio, GLib  # noqa: E402

# Atspi 2.46 names some calls deprecated that have no other spelling in Python.
warnings.filterwarnings('ignore', category=DeprecationWarning)

CLIENT, DIR, DISPLAY, PORT = sys.argv[1:5]
NO_BRIDGE = sys.argv[5:6] == ['no-bridge']
WITH_ORCA = sys.argv[5:6] == ['orca']
TITLE = 'Veldra MQTT Chat'
TOPIC = 'msh/EU_868/2/json/LongFast/!0000abcd'
failures = []
children = []


def check(name, passed, why=''):
    print(('ok ' + name) if passed else ('FAIL %s: %s' % (name, why)), flush=True)
    if not passed:
        failures.append(name)


def measure(name, value):
    print('measure %s %s' % (name, value), flush=True)


def pump(seconds):
    """Lets events arrive for `seconds`."""
    end = time.monotonic() + seconds
    ctx = GLib.MainContext.default()
    while time.monotonic() < end:
        while ctx.iteration(False):
            pass
        time.sleep(0.005)


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        pump(0.02)
        if predicate():
            return True
    return predicate()


def run(args, **kw):
    return subprocess.run(args, env=dict(os.environ, DISPLAY=DISPLAY), timeout=30, **kw)


def start_bus():
    """The accessibility bus of this session; its registry is started on demand by the bus."""
    launcher = subprocess.Popen(['/usr/libexec/at-spi-bus-launcher', '--launch-immediately'],
                                env=dict(os.environ, DISPLAY=DISPLAY),
                                stdout=subprocess.DEVNULL, stderr=open(os.path.join(DIR, 'bus.log'), 'w'))
    children.append(launcher)
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    end = time.monotonic() + 30
    # Asked before the launcher owns its name, the session bus would start a second launcher
    # (from its service file), and the one that loses the name takes its bus away with it.
    while time.monotonic() < end:
        owned = session.call_sync('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                                  'NameHasOwner', GLib.Variant('(s)', ('org.a11y.Bus',)), GLib.VariantType('(b)'),
                                  Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
        if owned or launcher.poll() is not None:
            break
        time.sleep(0.05)
    while time.monotonic() < end:
        try:
            reply = session.call_sync('org.a11y.Bus', '/org/a11y/bus', 'org.a11y.Bus', 'GetAddress', None,
                                      GLib.VariantType('(s)'), Gio.DBusCallFlags.NONE, 5000, None)
            if reply.unpack()[0]:
                return True
        except GLib.Error:
            pass
        time.sleep(0.1)
    return False


def find_app():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == TITLE:
            return app
    return None


def states(obj):
    return {Atspi.StateType(s).value_nick for s in obj.get_state_set().get_states()}


def text_of(obj):
    return Atspi.Text.get_text(obj, 0, -1)


class Events:
    """Every event of the kinds a screen reader listens to, in arrival order."""

    def __init__(self):
        self.all = []
        self.listener = Atspi.EventListener.new(self.on_event)
        for kind in ('object:state-changed:focused', 'object:state-changed:checked', 'object:state-changed:enabled',
                     'object:state-changed:showing', 'object:text-changed:insert', 'object:text-changed:delete',
                     'object:announcement'):
            self.listener.register(kind)

    def on_event(self, event):
        try:
            name = event.source.get_name() if event.source else ''
            role = event.source.get_role_name() if event.source else ''
        except GLib.Error:
            name, role = '', ''
        data = event.any_data if isinstance(event.any_data, str) else ''
        self.all.append((event.type, name, role, event.detail1, data))

    def of(self, kind, name=None):
        return [e for e in self.all if e[0].startswith(kind) and (name is None or e[1] == name)]

    def spoken(self):
        """What a reader would say: notifications shown (their name) and announcements."""
        shown = [e[1] for e in self.of('object:state-changed:showing') if e[2] == 'notification' and e[3] == 1]
        announced = [e[4] for e in self.of('object:announcement')]
        return shown, announced


def key(*keys):
    run(['xdotool', 'key', '--delay', '15'] + list(keys), check=True)


def type_text(text):
    run(['xdotool', 'type', '--delay', '15', '--', text], check=True)


def publish(payload_bytes):
    path = os.path.join(DIR, 'payload.bin')
    with open(path, 'wb') as f:
        f.write(payload_bytes)
    run(['mosquitto_pub', '-h', '127.0.0.1', '-p', PORT, '-t', TOPIC, '-f', path], check=True)


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def idle_cpu_percent(pid, seconds):
    before, start = cpu_seconds(pid), time.monotonic()
    pump(seconds)
    return 100.0 * (cpu_seconds(pid) - before) / (time.monotonic() - start)


def orca_checks(client):
    """Orca writes its debug file in blocks, so it is read once Orca has ended; our own listener
    says when each step has happened, and Orca is given time to say it."""
    debug = os.path.join(DIR, 'orca.debug')
    home = os.path.join(DIR, 'home')
    os.makedirs(home, exist_ok=True)
    orca = subprocess.Popen(['orca', '--replace', '--debug-file=' + debug],
                            env=dict(os.environ, DISPLAY=DISPLAY, HOME=home, GSETTINGS_BACKEND='memory'),
                            stdout=open(os.path.join(DIR, 'orca.out'), 'w'), stderr=subprocess.STDOUT)
    children.append(orca)
    desktop_names = lambda: {desktop_app.get_name() for desktop_app in  # noqa: E731
                             [Atspi.get_desktop(0).get_child_at_index(i)
                              for i in range(Atspi.get_desktop(0).get_child_count())] if desktop_app}
    check('orca started', wait_for(lambda: {'orca', TITLE} <= desktop_names(), 60), repr(desktop_names()))
    pump(3)
    events = Events()
    window = run(['xdotool', 'search', '--onlyvisible', '--name', '^%s$' % TITLE], capture_output=True,
                 text=True).stdout.split()
    run(['xdotool', 'windowfocus', '--sync', window[0]])
    run(['xdotool', 'mousemove', '--window', window[0], '700', '20'])
    pump(1)
    key('Tab')
    wait_for(lambda: events.of('object:state-changed:focused', 'Broker Host'), 10)
    pump(3)
    run(['xdotool', 'key', '--delay', '4', '--repeat', '40', 'BackSpace'], check=True)
    type_text('127.0.0.1')
    key('Tab')
    run(['xdotool', 'key', '--delay', '4', '--repeat', '10', 'BackSpace'], check=True)
    type_text(PORT)
    key('Escape', 'alt+c')
    shown = lambda what: any(what in t for t in events.spoken()[0])  # noqa: E731
    wait_for(lambda: shown('Connected to broker.'), 30)
    pump(3)
    publish(b'{"from":1234,"type":"text","payload":{"text":"hello orca"}}')
    wait_for(lambda: shown('hello orca'), 20)
    pump(3)
    orca.send_signal(signal.SIGINT)
    try:
        orca.wait(30)
    except subprocess.TimeoutExpired:
        orca.kill()
    with open(debug, errors='replace') as f:
        said = [line.split("SPEECH OUTPUT: '", 1)[1].split("'{", 1)[0] for line in f if "SPEECH OUTPUT: '" in line]
    measure('orca_said', repr(said))
    check('orca speaks the focused field', any(t.startswith('Broker Host entry') for t in said), repr(said))
    check('orca speaks the status line', any('Connected to broker.' in t for t in said), repr(said))
    check('orca speaks the chat line', any('Message from !000004d2: hello orca' in t for t in said), repr(said))
    client.send_signal(signal.SIGTERM)
    check('quit', client.wait(30) == 0, 'exit status %r' % client.poll())


def main():
    if not start_bus():
        check('accessibility bus', False, 'at-spi-bus-launcher did not answer')
        return
    # In sanitizer builds the X11, GL and D-Bus libraries' allocations at exit would count as the
    # client's leaks (some are unloaded by then, so no suppression can name them); the client's own
    # code is leak-checked where it runs without a display.
    env = dict(os.environ, DISPLAY=DISPLAY, LC_ALL='C.UTF-8',
               ASAN_OPTIONS=os.environ.get('ASAN_OPTIONS', '') + ':detect_leaks=0')
    if NO_BRIDGE:
        env['NO_AT_BRIDGE'] = '1'
    client = subprocess.Popen([CLIENT], cwd=DIR, env=env,
                              stdout=open(os.path.join(DIR, 'client.out'), 'w'), stderr=subprocess.STDOUT)
    children.append(client)
    if NO_BRIDGE:
        mapped = lambda: run(['xdotool', 'search', '--onlyvisible', '--name', '^%s$' % TITLE],  # noqa: E731
                             capture_output=True).returncode == 0
        check('window without the bridge', wait_for(mapped, 60), 'no window')
        pump(3)
        check('off the bus', find_app() is None, 'the client registered')
        cpu = idle_cpu_percent(client.pid, 5)
        measure('idle_cpu_percent_no_bridge', '%.1f' % cpu)
        client.send_signal(signal.SIGTERM)
        check('quit', client.wait(30) == 0, 'exit status %r' % client.poll())
        return
    if WITH_ORCA:
        orca_checks(client)
        return
    app = None
    end = time.monotonic() + 60
    while app is None and time.monotonic() < end and client.poll() is None:
        app = find_app()
        time.sleep(0.1)
    check('application on the bus', app is not None, 'no application named %r' % TITLE)
    if app is None:
        return
    frame = app.get_child_at_index(0)
    check('frame', frame.get_role_name() == 'frame' and frame.get_name() == TITLE,
          '%s %r' % (frame.get_role_name(), frame.get_name()))
    nodes = [frame.get_child_at_index(i) for i in range(frame.get_child_count())]
    by_name = {n.get_name(): n for n in nodes}

    def role(name):
        return by_name[name].get_role_name() if name in by_name else None

    wanted = {'Broker Host': 'entry', 'Port': 'entry', 'Password': 'password text', 'Message': 'entry',
              'Verify Server': 'check box', 'Use TLS (Port: 8883)': 'check box', 'Connect': 'push button',
              'Disconnect': 'push button', 'Send': 'push button', 'Log': 'log'}
    wrong = {n: role(n) for n, r in wanted.items() if role(n) != r}
    check('roles and names', not wrong, repr(wrong))
    roles = [n.get_role_name() for n in nodes]
    check('notice and notification', 'label' in roles and 'notification' in roles, repr(roles))
    password = text_of(by_name['Password'])
    check('password masked', password and set(password) == {'*'}, repr(password))
    check('states', 'checked' in states(by_name['Verify Server'])
          and 'checked' not in states(by_name['Use TLS (Port: 8883)'])
          and 'enabled' in states(by_name['Connect']) and 'sensitive' not in states(by_name['Disconnect'])
          and 'showing' not in states(by_name['TLS PSK Identity']) and 'showing' in states(by_name['Port'])
          and {'read-only', 'multi-line'} <= states(by_name['Log']),
          repr({n: sorted(states(by_name[n])) for n in ('Verify Server', 'Disconnect', 'TLS PSK Identity', 'Log')}))
    described = {n: by_name[n].get_description() for n in ('Connect', 'Disconnect', 'Decode RAW', 'Message')}
    check('keys in the descriptions', 'F6' in frame.get_description() and 'F8' in frame.get_description()
          and 'Left Alt+C' in described['Connect'] and 'Left Alt+D' in described['Disconnect']
          and 'Space' in described['Decode RAW'] and 'Return sends' in described['Message'],
          repr(described))
    actions = Atspi.Action.get_n_actions(by_name['Connect'])
    check('button action', actions == 1 and Atspi.Action.get_action_name(by_name['Connect'], 0) == 'press',
          'actions: %d' % actions)

    events = Events()
    window = run(['xdotool', 'search', '--onlyvisible', '--name', '^%s$' % TITLE], capture_output=True,
                 text=True).stdout.split()
    run(['xdotool', 'windowfocus', '--sync', window[0]])
    run(['xdotool', 'mousemove', '--window', window[0], '700', '20'])

    # Typing into a field: focus by Tab, each typed character a text insertion.
    key('Tab')
    check('focus event', wait_for(lambda: any(e[3] == 1 for e in events.of('object:state-changed:focused',
                                                                            'Broker Host')), 10),
          repr(events.all[-5:]))
    run(['xdotool', 'key', '--delay', '4', '--repeat', '40', 'BackSpace'], check=True)
    type_text('127.0.0.1')
    typed = lambda: ''.join(e[4] for e in events.of('object:text-changed:insert', 'Broker Host'))  # noqa: E731
    check('typed text inserted', wait_for(lambda: typed() == '127.0.0.1', 10), repr(typed()))
    check('field text', text_of(by_name['Broker Host']) == '127.0.0.1', repr(text_of(by_name['Broker Host'])))
    key('Tab')
    run(['xdotool', 'key', '--delay', '4', '--repeat', '10', 'BackSpace'], check=True)
    type_text(PORT)
    key('Tab', 'Tab')
    type_text('s3')
    # Two keys may land in one frame, as one insertion.
    masked = lambda: ''.join(e[4] for e in events.of('object:text-changed:insert', 'Password'))  # noqa: E731
    check('password typing masked', wait_for(lambda: len(masked()) == 2, 10) and masked() == '**', repr(masked()))
    run(['xdotool', 'key', '--delay', '4', '--repeat', '2', 'BackSpace'], check=True)

    # A box ticked by key: F6 until it has the focus, then Space.
    box = 'Hide Telemetry'
    focused = lambda: [e[1] for e in events.of('object:state-changed:focused') if e[3] == 1]  # noqa: E731
    for _ in range(40):
        before = len(focused())
        key('F6')
        wait_for(lambda: len(focused()) > before, 5)
        if focused() and focused()[-1] == box:
            break
    key('space')
    check('checked by key', wait_for(lambda: any(e[3] == 1 for e in events.of('object:state-changed:checked', box)),
                                     10) and 'checked' in states(by_name[box]), repr(events.of('object:state-changed')))

    # Connect through the button's action; the status line is spoken.
    ok = Atspi.Action.do_action(by_name['Connect'], 0)
    check('press action', ok and wait_for(lambda: any(e[3] == 1 for e in events.of('object:state-changed:enabled',
                                                                                    'Disconnect')), 30),
          repr(events.all[-5:]))
    said = lambda what: [t for t in events.spoken()[0] if what in t]  # noqa: E731
    announced = lambda what: [t for t in events.spoken()[1] if what in t]  # noqa: E731
    check('status line spoken', wait_for(lambda: said('Connected to broker.') and announced('Connected to broker.'),
                                         30), repr(events.spoken()))
    pump(2)
    check('status line spoken once', len(said('Connected to broker.')) == 1, repr(events.spoken()))

    # Idle, connected: how fast requests are answered and what the client costs meanwhile.
    pump(2)
    port = by_name['Port']
    latencies = []
    for i in range(60):
        start = time.perf_counter()
        Atspi.Text.get_text(port, 0, -1)
        latencies.append((time.perf_counter() - start) * 1000)
        time.sleep(0.003 + (i % 7) * 0.0041)
    median, worst = statistics.median(latencies), max(latencies)
    measure('request_ms_median', '%.2f' % median)
    measure('request_ms_worst', '%.2f' % worst)
    check('requests answered quickly', median < 20, 'median %.1f ms' % median)
    cpu = idle_cpu_percent(client.pid, 5)
    measure('idle_cpu_percent_with_client', '%.1f' % cpu)
    check('idle CPU with a reader', cpu < 15, '%.1f%%' % cpu)

    # A chat message: its sender and text, not its JSON.
    publish(b'{"channel":0,"from":1234,"id":7,"payload":{"text":"hello from the mesh"},"sender":"!0000abcd",'
            b'"type":"text"}')
    check('message spoken', wait_for(lambda: said('hello from the mesh') and announced('hello from the mesh'), 15),
          repr(events.spoken()))
    check('sender spoken, not the JSON', any('!000004d2' in t and '"payload"' not in t
                                             for t in said('hello from the mesh')), repr(said('hello')))
    # Position traffic is not spoken.
    publish(b'{"channel":0,"from":1234,"id":8,"payload":{"latitude_i":525000000},"type":"position"}')
    pump(3.5)
    check('position not spoken', not said('latitude') and not said('position'), repr(events.spoken()))

    # Invalid UTF-8 from the network reaches the reader cleaned, and the client lives on.
    publish(b'{"from":99,"type":"text","payload":{"text":"bad \xff\xfe bytes \xc3"}}')
    check('invalid UTF-8 spoken cleaned', wait_for(lambda: said('bad \ufffd\ufffd bytes'), 15), repr(events.spoken()))
    pump(1)
    check('client alive after invalid UTF-8', client.poll() is None, 'exit status %r' % client.poll())

    # The log, reviewed line by line.
    log = by_name['Log']
    count = Atspi.Text.get_character_count(log)
    lines, offset = [], 0
    while offset < count and len(lines) < 50:
        r = Atspi.Text.get_string_at_offset(log, offset, Atspi.TextGranularity.LINE)
        lines.append(r.content)
        offset = max(r.end_offset, offset + 1)
    check('log lines', any(line.rstrip('\n').endswith('Connected to broker.') for line in lines)
          and any('bad \ufffd\ufffd bytes' in line for line in lines), repr(lines))

    # F8: speaking off (said), a message then silent, and on again.
    run(['xdotool', 'windowfocus', '--sync', window[0]])
    key('F8')
    check('speaking off said', wait_for(lambda: said('Speaking new lines: off'), 10), repr(events.spoken()))
    publish(b'{"from":5,"type":"text","payload":{"text":"while silent"}}')
    pump(3.5)
    check('silent while off', not said('while silent'), repr(events.spoken()))
    key('F8')
    check('speaking on said', wait_for(lambda: said('Speaking new lines: on'), 10), repr(events.spoken()))

    client.send_signal(signal.SIGTERM)
    try:
        status = client.wait(30)
    except subprocess.TimeoutExpired:
        status = None
    check('quit', status == 0, 'exit status %r' % status)


try:
    main()
except Exception as error:  # a broken probe is a failed check, with its reason
    check('probe', False, repr(error))
finally:
    # Politely, newest first: the bus launcher takes its bus down only when asked to end.
    for child in reversed(children):
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
sys.exit(1 if failures else 0)
