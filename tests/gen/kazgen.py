#!/usr/bin/env python3
"""Random Kaz programs, run by a kaz executable for a bounded time.

Each program calls the natives, actions and routines with arguments drawn from their specs
(environment/natives.kaz and environment/actions.kaz), mostly of the types a spec names and
sometimes of any other, and mixes in what reaches back into the runtime from inside it: objects
whose change handlers change the series being changed, sort comparators that change the series
being sorted, PARSE rules whose actions change the input, loops that change what they walk,
tracers, and specs changed after a function was made. Every statement runs under `try`, so a
program ends normally unless the runtime itself fails.

A run fails on any sanitizer report, heap-check fault (KAZ_CHECK_HEAP is set), runtime error
report or death by a signal. Its seed is printed first; a failing program is kept and can be made
again with --seed and --program.

    tests/gen/kazgen.py --kaz build/asan/boot/kaz --seconds 180
    tests/gen/kazgen.py --kaz build/asan/boot/kaz --seed 1234 --program 17 --show
"""
import argparse
import concurrent.futures
import os
import random
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# ---- the callables, from their specs ----

TOKEN = re.compile(r'"(?:\^.|[^"^])*"|\[|\]|[^\s\[\]]+')


def parse_block(tokens, i):
    items = []
    while i < len(tokens):
        t = tokens[i]
        if t == '[':
            inner, i = parse_block(tokens, i + 1)
            items.append(inner)
        elif t == ']':
            return items, i + 1
        else:
            items.append(t)
            i += 1
    return items, i


class Arg:
    def __init__(self, name, kind, types):
        self.name, self.kind, self.types = name, kind, types


class Callable:
    def __init__(self, name, args, refinements):
        self.name, self.args, self.refinements = name, args, refinements


def callable_from(name, spec):
    args, refinements, current = [], [], None
    i = 0
    while i < len(spec):
        item = spec[i]
        i += 1
        if isinstance(item, list) or item.startswith('"'):
            continue
        if item.endswith(':'):  # return: and its types
            i += 1
            continue
        if item.startswith('/'):
            current = []
            refinements.append((item[1:], current))
            continue
        kind = 'lit' if item.startswith("'") else 'get' if item.startswith(':') else 'normal'
        types = spec[i] if i < len(spec) and isinstance(spec[i], list) else None
        if types is not None:
            i += 1
        (args if current is None else current).append(Arg(item.lstrip("':"), kind, types))
    return Callable(name, args, refinements)


def load_callables():
    found = []
    for source in ('natives.kaz', 'actions.kaz'):
        with open(os.path.join(ROOT, 'environment', source), encoding='utf-8') as f:
            for line in f:
                line = line.strip()
                if not line or line.startswith(';'):
                    continue
                name, rest = line.split(' ', 1)
                spec, _ = parse_block(TOKEN.findall(rest)[1:], 0)
                found.append(callable_from(name, spec))
    # The environment's routines, made at start-up (boot/routines.cpp).
    for name, spec in (('set-quiet', 'word [any-type!] value [any-type!]'),
                       ('set-slot-quiet', 'series [any-type!] value [any-type!]'),
                       ('shift-left', 'data [integer!] bits [integer!]'),
                       ('shift-right', 'data [integer!] bits [integer!]'),
                       ('shift-logical', 'data [integer!] bits [integer!]')):
        found.append(callable_from(name, parse_block(TOKEN.findall(spec), 0)[0]))
    return [c for c in found if c.name not in EXCLUDED]


# What reaches outside the process, waits, or loops with no bound of its own. The loops are made
# by the generator itself, with bounds.
EXCLUDED = {
    'call', 'browse', 'wait', 'set-env', 'create', 'close', 'delete', 'open', 'open?', 'query',
    'read', 'rename', 'update', 'write', 'forever', 'while', 'until', 'loop', 'repeat',
    'foreach', 'forall', 'remove-each', 'catch', 'throw', 'exit', 'return', 'break', 'continue',
}

TYPESETS = {
    'number!': ['integer!', 'float!', 'percent!'],
    'scalar!': ['integer!', 'float!', 'char!', 'time!', 'pair!', 'tuple!', 'money!'],
    'any-word!': ['word!', 'set-word!', 'lit-word!', 'get-word!'],
    'all-word!': ['word!', 'set-word!', 'lit-word!', 'get-word!', 'refinement!', 'issue!'],
    'any-list!': ['block!', 'paren!', 'hash!'],
    'any-path!': ['path!', 'lit-path!', 'set-path!', 'get-path!'],
    'any-block!': ['block!', 'paren!', 'hash!', 'path!', 'lit-path!', 'set-path!', 'get-path!'],
    'any-function!': ['native!', 'action!', 'op!', 'function!'],
    'any-object!': ['object!', 'error!'],
    'any-string!': ['string!', 'file!', 'url!'],
    'series!': ['block!', 'paren!', 'hash!', 'path!', 'string!', 'file!', 'url!', 'vector!'],
    'immediate!': ['integer!', 'float!', 'char!', 'word!', 'none!', 'logic!', 'datatype!',
                   'typeset!', 'time!'],
    'default!': [],  # any
    'any-type!': [],  # any, unset! too
}

TYPE_NAMES = ['integer!', 'float!', 'char!', 'string!', 'block!', 'paren!', 'word!', 'none!',
              'logic!', 'datatype!', 'typeset!', 'bitset!', 'map!', 'hash!', 'vector!',
              'object!', 'error!', 'function!', 'native!', 'action!', 'time!', 'file!', 'url!',
              'issue!', 'refinement!', 'path!', 'set-word!', 'lit-word!', 'get-word!',
              'set-path!', 'get-path!', 'lit-path!', 'op!', 'unset!', 'pair!', 'tuple!',
              'binary!', 'percent!', 'date!', 'money!', 'tag!', 'email!', 'image!']

VARIABLES = ['v1', 'v2', 'v3', 'v4', 'v5', 'v6', 's1', 's2']
INFIX = ['+', '-', '*', '/', '%', '=', '<>', '==', '<', '>', '<=', '>=', '**', 'and', 'or', 'xor',
         '<<', '>>', '>>>', '=?']
HANDLER_ACTIONS = ('append insert change clear poke remove reverse take sort trim swap move '
                   'random put').split()


class Generator:
    def __init__(self, rng, callables):
        self.rng = rng
        self.callables = callables
        self.by_name = {c.name: c for c in callables}
        self.counters = 0
        self.in_function = False
        self.series_callables = [c for c in callables if c.args and c.args[0].types and any(
            t in ('series!', 'any-block!', 'any-string!', 'block!', 'string!', 'any-list!')
            for t in c.args[0].types)]

    def chance(self, p):
        return self.rng.random() < p

    def pick(self, items):
        return self.rng.choice(items)

    # ---- values ----

    def integer(self):
        if self.chance(0.06):
            return self.pick(['2147483647', '-2147483648', '65536', '-65537', '1000', '-100'])
        return str(self.rng.randint(-3, 10))

    def string(self):
        return self.pick(['""', '"abc"', '"a b c"', '"äöü"', '"x^/y"', '"AbC"', '"aaa"',
                          '"^(1F600)x"', '"12"', '"a"', '(append/dup copy "" "ab" 40)'])

    def block(self, depth):
        if depth > 1 or self.chance(0.5):
            return self.pick(['[]', '[1 2 3]', '[a b c]', '[1 "a" [b] c: :d \'e /f]',
                              '[x: 1 y: "z"]', '[[1 2] [3 4]]', '[3 1 2 5 4]', '["b" "a" "c"]',
                              '[a 1 b 2 c 3]', '[(1 + 2) a/b]', '[#"a" 1.5 none]'])
        return '(reduce [%s])' % ' '.join(self.value(depth + 1) for _ in range(self.rng.randint(0, 4)))

    def of_type(self, t, depth):
        if t in TYPESETS:
            members = TYPESETS[t]
            return self.value(depth) if not members else self.of_type(self.pick(members), depth)
        simple = {
            'integer!': self.integer,
            'float!': lambda: self.pick(['0.0', '1.5', '-2.25', '1e308', '-1e-308', '3.0',
                                         '0.1', '-0.0']),
            'char!': lambda: self.pick(['#"a"', '#"Z"', '#"^@"', '#" "', '#"é"', '#"^(1F600)"',
                                        '#"1"']),
            'string!': self.string,
            'file!': lambda: self.pick(['%a.txt', '%dir/', '%""']),
            'url!': lambda: 'http://x.y/z',
            'issue!': lambda: self.pick(['#abc', '#1']),
            'word!': lambda: self.pick(["'a", "'v1", "'append", "'x", "'self", "'none"]),
            'set-word!': lambda: self.pick(["pick [a:] 1", "pick [v2:] 1"]),
            'lit-word!': lambda: "pick ['a] 1",
            'get-word!': lambda: self.pick(["pick [:a] 1", "pick [:v3] 1"]),
            'refinement!': lambda: self.pick(['/only', '/part', '/x']),
            'path!': lambda: self.pick(["'a/b", "'v1/1", "'o1/a"]),
            'lit-path!': lambda: "pick ['a/b] 1",
            'set-path!': lambda: "pick [a/b:] 1",
            'get-path!': lambda: "pick [:a/b] 1",
            'none!': lambda: 'none',
            'logic!': lambda: self.pick(['true', 'false']),
            'datatype!': lambda: self.pick(TYPE_NAMES[:20]),
            'typeset!': lambda: self.pick(['number!', 'series!', 'any-type!', 'any-word!']),
            'bitset!': lambda: self.pick(['(make bitset! [#"a" - #"z"])', '(make bitset! 64)',
                                          '(make bitset! [1 5 9])']),
            'map!': lambda: self.pick(['(make map! [a 1 b 2])', '(make map! [])',
                                       '(make map! ["k" [1 2] 3 x])']),
            'hash!': lambda: self.pick(['(make hash! [a 1 b 2 c 3])', '(make hash! [])']),
            'vector!': lambda: self.pick(['(make vector! [integer! 32 [1 2 3]])',
                                          '(make vector! [float! 64 [1.5 2.5]])',
                                          '(make vector! [integer! 8 [255 0]])']),
            'object!': lambda: self.pick(['o1', 'o2', '(make object! [a: 1 b: "x"])']),
            'error!': lambda: self.pick(['(make error! "boom")', '(try [1 / 0])']),
            'function!': lambda: self.pick(['(func [a] [a])', ':f1', ':f2',
                                            '(func [a [integer!] /r b] [b])']),
            'native!': lambda: self.pick([':if', ':print', ':parse', ':foreach']),
            'action!': lambda: self.pick([':append', ':sort', ':find']),
            'op!': lambda: self.pick([':+', ':=']),
            'time!': lambda: self.pick(['1:02:03', '0:00', '-1:30']),
            'unset!': lambda: '()',
            'paren!': lambda: self.pick(['pick [(1 + 2)] 1', '(to paren! [a b])']),
        }
        make = simple.get(t)
        if make is None:
            return self.value(depth)  # a type with no literal here yet
        if t == 'block!':
            return self.block(depth)
        return make()

    def value(self, depth=0):
        r = self.rng.random()
        if r < 0.35:
            return self.pick(VARIABLES)
        if r < 0.45 and depth < 2:
            return '(%s)' % self.expression(depth + 1)
        return self.of_type(self.pick(TYPE_NAMES), depth)

    def argument(self, arg, depth):
        if arg.kind == 'lit':
            return self.pick(['x', 'v1', 'v2', 'k', 'w', '[x y]', 'v3'])
        if arg.kind == 'get' and self.chance(0.5):
            return self.pick(VARIABLES)
        if self.chance(0.35):
            return self.pick(VARIABLES)
        if arg.types and self.chance(0.8):
            return self.of_type(self.pick(arg.types), depth)
        return self.value(depth)

    # ---- expressions and statements ----

    def call(self, c, depth):
        refinements = [r for r in c.refinements if self.chance(0.3)]
        self.rng.shuffle(refinements)
        words = [c.name] + [name for name, _ in refinements]
        parts = ['/'.join(words)]
        parts += [self.argument(a, depth) for a in c.args]
        for _, args in refinements:
            parts += [self.argument(a, depth) for a in args]
        return ' '.join(parts)

    def expression(self, depth):
        r = self.rng.random()
        if r < 0.15:
            return '%s %s %s' % (self.value(depth + 1), self.pick(INFIX), self.value(depth + 1))
        if r < 0.5:
            return self.call(self.pick(self.series_callables), depth)
        return self.call(self.pick(self.callables), depth)

    def body(self, depth, count=None):
        n = count if count is not None else self.rng.randint(1, 3)
        return '[%s]' % ' '.join(self.statement(depth + 1) for _ in range(n))

    def statement(self, depth=0):
        if depth > 2:
            return self.expression(depth)
        kinds = [
            (30, self.expression), (10, self.assignment), (6, self.loop), (5, self.sort_compare),
            (7, self.parse), (6, self.object_change), (4, self.function_stress),
            (2, self.trace), (2, self.make_callable), (2, lambda d: 'recycle'),
            (4, self.context_stress), (2, self.transcode_trace), (2, self.catch_throw),
            (8, self.hazard), (5, self.conversion), (6, self.path), (2, self.ownership),
            (2, self.do_code),
        ]
        total = sum(w for w, _ in kinds)
        r = self.rng.uniform(0, total)
        for weight, make in kinds:
            r -= weight
            if r <= 0:
                return make(depth)
        return self.expression(depth)

    def assignment(self, depth):
        target = self.pick(VARIABLES)
        source = self.pick(VARIABLES)
        r = self.rng.random()
        if r < 0.3:
            return '%s: %s' % (target, self.pick(['next', 'back', 'tail', 'head', 'copy',
                                                   'copy/deep']) + ' ' + source)
        if r < 0.4:
            return '%s: at %s %s' % (target, source, self.integer())
        return '%s: %s' % (target, self.value(depth + 1))

    def counter(self):
        # Each loop its own: a nested loop that reset its outer loop's counter would not end.
        self.counters += 1
        return 'k%d' % self.counters

    def loop(self, depth):
        series = self.pick(VARIABLES)
        body = self.body(depth)
        k = self.counter()
        r = self.rng.randint(0, 7)
        if r == 0:
            return 'foreach x %s %s' % (series, body)
        if r == 1:
            return 'foreach [x y] %s %s' % (series, body)
        if r == 2:  # its own word: a body that set it back to the head would never end
            return 'fa: %s forall fa %s' % (series, body)
        if r == 3:
            return 'remove-each x %s [%s %s]' % (series, self.statement(depth + 1),
                                                 self.pick(['true', 'false', 'x', 'none']))
        if r == 4:
            return 'repeat %s %d %s' % (k, self.rng.randint(0, 4), body)
        if r == 5:
            return '%s: 0 while [(%s: %s + 1) < 4] %s' % (k, k, k, body)
        if r == 6:
            return '%s: 0 until [%s (%s: %s + 1) > 3]' % (k, ' '.join(
                self.statement(depth + 1) for _ in range(2)), k, k)
        return '%s: 0 forever [%s: %s + 1 if %s > 3 [break] %s]' % (k, k, k, k,
                                                                  self.statement(depth + 1))

    def mutation(self, target):
        grow = self.pick(['append head %s 1', 'insert head %s "z"', 'append/dup head %s 0 20'])
        return self.pick([
            'clear head %s' % target, 'remove head %s' % target, 'reverse head %s' % target,
            'take/last head %s' % target, 'recycle', 'change head %s 9' % target,
            'sort head %s' % target,
            # Bounded: code that runs again and again (a loop, a rule, a handler) would grow it
            # for ever.
            'if 60 > length? head %s [%s]' % (target, grow % target)])

    def sort_compare(self, depth):
        series = self.pick(VARIABLES)
        r = self.rng.randint(0, 3)
        refinements = ''.join(self.pick(['', '/reverse', '/stable', '/all', '/case'])
                              for _ in range(2))
        if r == 0:
            return 'sort/compare%s %s func [a b] [%s a < b]' % (
                refinements, series, self.mutation(series) if self.chance(0.6) else '')
        if r == 1:
            return 'sort/compare%s %s func [a b] [%s %s]' % (
                refinements, series, self.mutation(series),
                self.pick(['-1', '0', '1', 'a', 'none', 'true', '"x"']))
        if r == 2:
            return 'sort/skip/compare%s %s %s %s' % (refinements, series, self.integer(),
                                                     self.integer())
        return 'sort/compare%s %s %s' % (refinements, series,
                                         self.pick(['1', '2', '-1', '0', '[a]', "'x"]))

    def rule(self, depth):
        # Inserting inside a rule that repeats could grow the input for ever: top level only.
        terms = ['skip', 'end', 'to end', 'thru "a"', 'to #"b"', '"ab"', '#"a"', '"a"',
                 'integer!', 'word!', 'block!', 'string!', 'any-string!', 'cs', 'fail', 'none',
                 'set w skip', 'keep skip', 'remove skip', 'change skip "q"',
                 'mark:', ':mark', 'opt "a"', 'quote 1', 'reject', 'break', 'accept',
                 'if (%s)' % self.pick(['true', 'false', 'k > 1', 'none']),
                 '(%s)' % self.statement(3), '(%s)' % self.mutation('v1'),
                 '(%s)' % self.mutation('s1')]
        if depth < 2:
            inner = self.rule(depth + 1)
            terms += ['some ' + inner, 'any ' + inner, 'opt ' + inner, 'not ' + inner,
                      'ahead ' + inner, '2 ' + inner, '1 3 ' + inner, 'copy w ' + inner,
                      'into ' + inner, 'collect ' + inner, 'collect into v6 ' + inner,
                      'keep ' + inner, 'thru ' + inner, 'to ' + inner]
        if depth == 0:
            terms.append('insert "x"')
        sequences = []
        for _ in range(self.rng.randint(1, 3)):
            sequences.append(' '.join(self.pick(terms) for _ in range(self.rng.randint(1, 3))))
        return '[%s]' % ' | '.join(sequences)

    def parse(self, depth):
        source = self.pick(['v1', 's1', 's2', 'v2', '"aabab"', '[1 a "b" [c] 2]'])
        refinements = self.pick(['', '/case', '/part', '/trace'])
        extra = ''
        if refinements == '/part':
            extra = ' ' + self.integer()
        elif refinements == '/trace':
            extra = ' func [event match? rule input stack] [%s true]' % self.statement(3)
        return 'cs: make bitset! [#"a" - #"c"] w: none mark: none parse%s %s %s%s' % (
            refinements, source, self.rule(0), extra)

    def handler(self, arity, depth):
        names = ['h%d' % i for i in range(arity)]
        statements = [self.mutation(self.pick(['o1/a', 'o1/b', 'v1', 's1'])) for _ in range(2)]
        if arity >= 3:
            statements.append('%s: %s' % (names[-1], self.value(2)))
        if arity == 7:
            statements.append('if find [%s] h3 [%s]' % (' '.join(HANDLER_ACTIONS),
                                                        self.mutation('h2')))
        return 'func [%s] [if not busy [busy: true try [%s] busy: false]]' % (
            ' '.join(names), ' '.join(statements))

    def object_change(self, depth):
        r = self.rng.randint(0, 4)
        if r == 0:
            change = 3 if self.chance(0.7) else self.rng.randint(0, 9)
            deep = 7 if self.chance(0.7) else self.rng.randint(0, 9)
            return ('busy: false o1: make object! [a: copy [1 2 3] b: copy "abc" c: 1 '
                    'on-change*: %s on-deep-change*: %s]' % (self.handler(change, depth),
                                                             self.handler(deep, depth)))
        target = self.pick(['o1/a', 'o1/b', 'o1/c', 'o2/a'])
        if r == 1:
            return '%s: %s' % (target, self.value(depth + 1))
        if r == 2:
            c = self.pick(self.series_callables)
            return ' '.join([c.name, target] + [self.argument(a, depth) for a in c.args[1:]])
        if r == 3:
            return "set in o1 '%s %s" % (self.pick(['a', 'b', 'c', 'zz']), self.value(depth + 1))
        return "o2: make o1 [%s: %s]" % (self.pick(['a', 'd', 'on-change*']),
                                         self.value(depth + 1))

    def spec(self):
        words = ['a', 'b', 'c', 'd']
        items = []
        for w in words[:self.rng.randint(0, 4)]:
            items.append(self.pick([w, "'" + w, ':' + w]))
            if self.chance(0.4):
                items.append(self.pick(['[integer!]', '[any-type!]', '[block! string!]']))
        if self.chance(0.3):
            items += ['/r', 'e']
        if self.chance(0.4):
            items += ['/local'] + ['l%d' % i for i in range(self.rng.randint(1, 3))]
        return '[%s]' % ' '.join(items)

    def function_stress(self, depth):
        # A body that called its own function would recurse without end: none calls one.
        r = self.rng.randint(0, 4 if not self.in_function else 1)
        target = self.pick(['f1', 'f2'])
        saved, self.in_function = self.in_function, True
        body = self.body(depth)
        self.in_function = saved
        if r == 0:
            return '%s: func sp: %s %s %s' % (target, self.spec(), body, self.pick([
                'clear sp', 'append sp [x y z]', 'change sp /local', 'insert sp "doc"', '']))
        if r == 1:
            return '%s: function %s %s' % (target, self.spec(), body)
        if r == 2:
            return 'apply %s [%s]' % (self.pick([':f1', ':f2', "'f1", ':append', ':if']),
                                     ' '.join(self.value(depth + 1)
                                              for _ in range(self.rng.randint(0, 4))))
        if r == 3:
            return '%s %s' % (target, ' '.join(self.value(depth + 1)
                                               for _ in range(self.rng.randint(0, 4))))
        return 'sp: reflect :%s \'spec %s %s %s' % (target, self.mutation('sp'), target,
                                                  self.value(depth + 1))

    def trace(self, depth):
        arity = 6 if self.chance(0.7) else self.rng.randint(0, 9)
        names = ' '.join('t%d' % i for i in range(arity))
        return 'do/trace %s func [%s] [%s]' % (self.body(depth, 2), names, self.statement(3))

    def make_callable(self, depth):
        c = self.pick(self.callables)
        table = 'native!' if self.chance(0.6) else 'action!'
        return 'make %s reduce [%s %d]' % (table, self.pick([
            self.spec(), "reflect :%s 'spec" % c.name, '[value [any-type!]]', '[]']),
            self.rng.randint(-1, 125))

    def context_stress(self, depth):
        return self.pick([
            "bind [a b v1] o1", "bind 'a o1", "bind [a] :f1", "in o1 'a", "in :f1 'a",
            "get in o1 'b", "set [v1 v2] [1 2]", "context? 'v1", "unset 'v5", "value? 'v5",
            "set in o1 'a 5", "do bind [a: 1 b: 2] o1", "reflect o1 'values",
            "clear reflect o1 'values", "append reflect o1 'values 1", "reflect :f1 'words",
            "reflect :f1 'body", "do bind [h0: 1] :f1", "o1/a: o1", "put o1 'c 3",
            "extend o1 [zz: 1]", "construct [a: 1 b: v1]"])

    def selector(self):
        return self.pick(['1', '2', '-1', '0', '100', 'a', 'b', 'x', '(1 + 1)', ':k', 'c',
                          '"k"', '#"a"', 'none', 'true', '1.5'])

    def path(self, depth):
        head = self.pick(VARIABLES + ['o1', 'o2', 'v3', 'v4', 'o1/a', 'o1/b'])
        path = head + ''.join('/' + self.selector() for _ in range(self.rng.randint(1, 3)))
        r = self.rng.randint(0, 3)
        if r == 0:
            return '%s: %s' % (path, self.value(depth + 1))
        if r == 1:
            return "set '%s %s" % (path, self.value(depth + 1))
        if r == 2:
            return "get '%s" % path
        return path

    def ownership(self, depth):
        field = self.pick(['a', 'b'])
        return self.pick([
            "modify o1/%s 'owned reduce [o1 '%s]" % (field, field),
            "modify o1/%s 'owned none" % field,
            "modify %s 'owned reduce [o1 '%s]" % (self.pick(VARIABLES), field),
            "%s: o1/%s %s" % (self.pick(VARIABLES), field, self.mutation('o1/' + field)),
        ])

    def do_code(self, depth):
        code = ' '.join(self.statement(depth + 1) for _ in range(self.rng.randint(1, 3)))
        return self.pick(['do [%s]', 'do reduce [%s]', "do bind [%s] o1", 'reduce [%s]',
                          'compose [(%s)]', 'do/next [%s] \'np']) % code

    def conversion(self, depth):
        verb = self.pick(['to', 'make', 'as', 'to', 'make'])
        return '%s %s %s' % (verb, self.pick(TYPE_NAMES), self.value(depth + 1))

    def hazard(self, depth):
        a, b = self.pick(VARIABLES), self.pick(VARIABLES)
        n = self.rng.randint(1, 4)
        return self.pick([
            # positions past the tail, and series changed under them
            '%s: at %s %d clear head %s %s' % (a, b, self.rng.randint(2, 9), b, self.pick([
                'append %s 1' % a, 'insert %s 2' % a, 'remove %s' % a, 'take %s' % a,
                'change %s 3' % a, 'poke %s 1 4' % a, 'sort %s' % a, 'reverse %s' % a,
                'copy %s' % a, 'find %s 1' % a, 'mold %s' % a, 'length? %s' % a])),
            'skip %s %s' % (a, self.integer()),
            # cycles
            'append/only %s %s' % (a, a), 'append/only %s %s mold %s' % (a, b, a),
            'o1/a: o1 mold o1', 'copy/deep %s' % a, 'equal? %s %s' % (a, b),
            'compose/deep [(%s) [(%s)]]' % (a, b),
            # deep nesting
            'dn: copy [] loop %d [dn: reduce [dn]] %s dn' % (self.pick([10, 300, 5000]), self.pick(
                ['mold', 'copy/deep', 'form', 'length?', 'equal? dn', 'do'])),
            # self and words bound to a function's frame after it returned
            'do bind [self] o1', 'do bind [self: 1] o1', "get bind 'self o1",
            "fw: f3 %s get fw" % self.value(depth + 1), "fw: f3 1 set fw 5",
            "fw: f3 1 do reduce [fw]",
            # wide characters into narrow strings while walking them
            'foreach c %s [if 60 > length? head %s [append %s #"^(1F600)"]]' % (a, a, a),
            'forall s1 [s1/1: #"^(10FFFF)"]',
            # maps and hashes keyed by every kind of value
            'put v3 %s %s' % (self.value(depth + 1), self.value(depth + 1)),
            'select v3 %s' % self.value(depth + 1), 'remove/key v3 %s' % self.value(depth + 1),
            'v4: make hash! %s' % self.block(depth + 1), 'find v4 %s' % self.value(depth + 1),
            # the collector in the middle of it
            'recycle/off %s recycle/on' % self.statement(depth + 1),
            'loop %d [%s recycle]' % (n, self.mutation(a)),
        ])

    def transcode_trace(self, depth):
        text = self.pick(['"a b [c] 1"', '"[1 2"', '"x: 1 ^"s^""', 's1', '"#(a"'])
        return 'transcode/trace %s func [event input type line token] [%s true]' % (
            text, self.statement(3))

    def catch_throw(self, depth):
        return self.pick([
            'catch [%s throw 1]' % self.statement(depth + 1),
            'catch/name [throw/name 1 \'a] \'a',
            'repeat k 3 [%s if k = 2 [break] %s]' % (self.statement(depth + 1),
                                                    self.statement(depth + 1)),
        ])

    def program(self):
        lines = ['Kaz [Title: "generated"]',
                 'busy: false k: 0 x: none w: none',
                 'v1: copy [3 1 2 [a] "b"] v2: copy "hello" v3: make map! [a 1] '
                 'v4: make hash! [a 1 b 2] v5: make vector! [integer! 32 [5 3 9]] '
                 'v6: copy [] s1: copy "abcabc" s2: copy [] np: none',
                 'f1: func [a b] [a] f2: func [a /local t] [t: a] f3: func [a] [\'a]',
                 'o1: make object! [a: copy [1 2] b: copy "x" c: 1] o2: make o1 []']
        for _ in range(self.rng.randint(40, 120)):
            lines.append('try [%s]' % self.statement())
            if self.chance(0.05):
                lines.append('try [v1: copy [3 1 2 [a] "b"] s1: copy "abcabc" v6: copy []]')
        lines.append('print "done"')
        return '\n'.join(lines) + '\n'


# ---- running ----

FAILURE_MARKS = ('ERROR: AddressSanitizer', 'runtime error:', 'ERROR: LeakSanitizer',
                 '*** Runtime Error', '*** Heap check', '*** Slot ')


def classify(result):
    """How a run ended: ok, script-error, timeout, memory-limit or failed."""
    if result is None:
        return 'timeout'
    code, out, err = result
    text = out + err
    if 'hard rss limit exhausted' in text or 'out of memory: allocator' in text:
        return 'memory-limit'
    if any(mark in text for mark in FAILURE_MARKS) or code < 0 or code not in (0, 1):
        return 'failed'
    if code == 1:
        return 'script-error'
    return 'ok' if 'done' in out else 'ended-early'


def run_one(kaz, program, timeout):
    with tempfile.NamedTemporaryFile('w', suffix='.kaz', delete=False, encoding='utf-8') as f:
        f.write(program)
        path = f.name
    env = dict(os.environ)
    env['KAZ_CHECK_HEAP'] = '1'
    env.setdefault('ASAN_OPTIONS', 'hard_rss_limit_mb=3000:detect_leaks=0')
    env.setdefault('UBSAN_OPTIONS', 'print_stacktrace=1')
    try:
        done = subprocess.run([kaz, path], capture_output=True, timeout=timeout, env=env)
        return done.returncode, done.stdout.decode('utf-8', 'replace'), done.stderr.decode(
            'utf-8', 'replace')
    except subprocess.TimeoutExpired:
        return None
    finally:
        os.unlink(path)


def program_for(callables, seed, index):
    return Generator(random.Random(seed * 1_000_003 + index), callables).program()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--kaz', default=os.path.join(ROOT, 'build/asan/boot/kaz'))
    parser.add_argument('--seconds', type=float, default=120, help='time budget of the run')
    parser.add_argument('--seed', type=int, help='seed of the run (default: from the clock)')
    parser.add_argument('--program', type=int, help='make and run only this program of the seed')
    parser.add_argument('--count', type=int, help='stop after this many programs')
    parser.add_argument('--jobs', type=int, default=os.cpu_count() or 2)
    parser.add_argument('--timeout', type=float, default=20, help='seconds per program')
    parser.add_argument('--show', action='store_true', help='print the program')
    parser.add_argument('--keep', default=os.path.join(ROOT, 'build/gen-failures'),
                        help='where failing programs are written')
    args = parser.parse_args()

    callables = load_callables()
    seed = args.seed if args.seed is not None else int(time.time()) % 1_000_000
    print('kazgen: seed %d (replay: %s --seed %d --program N)' % (seed, sys.argv[0], seed),
          flush=True)

    if args.program is not None:
        program = program_for(callables, seed, args.program)
        if args.show:
            print(program)
        result = run_one(args.kaz, program, args.timeout)
        print('program %d: %s' % (args.program, classify(result)))
        if result is not None:
            sys.stdout.write(result[1][-4000:] + result[2][-8000:])
        return 0 if classify(result) != 'failed' else 1

    deadline = time.monotonic() + args.seconds
    outcomes = {}
    failures = []
    timeouts = []
    index = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        running = {}
        while True:
            while (len(running) < args.jobs and time.monotonic() < deadline and
                   (args.count is None or index < args.count)):
                program = program_for(callables, seed, index)
                running[pool.submit(run_one, args.kaz, program, args.timeout)] = (index, program)
                index += 1
            if not running:
                break
            done, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                number, program = running.pop(future)
                result = future.result()
                outcome = classify(result)
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
                if outcome == 'timeout':
                    timeouts.append(number)
                if outcome == 'failed':
                    failures.append(number)
                    os.makedirs(args.keep, exist_ok=True)
                    kept = os.path.join(args.keep, 'seed%d-program%d.kaz' % (seed, number))
                    with open(kept, 'w', encoding='utf-8') as f:
                        f.write(program)
                    print('program %d FAILED (kept as %s):' % (number, kept))
                    sys.stdout.write(result[1][-2000:] + result[2][-6000:] if result else '')
                    print(flush=True)

    ran = sum(outcomes.values())
    print('kazgen: seed %d: %d programs: %s' % (
        seed, ran, ', '.join('%s %d' % (k, v) for k, v in sorted(outcomes.items()))))
    if timeouts:
        print('kazgen: programs that ran out of time: %s' % ' '.join(map(str, sorted(timeouts))))
    if failures:
        print('kazgen: failed programs: %s' % ' '.join(map(str, failures)))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
