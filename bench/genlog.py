#!/usr/bin/python3
"""Deterministic generator of combined-format access logs for benchmarks.

  genlog.py -n LINES -d DISTINCT [-s SEED] [-o FILE] [--second 0.05]
            [--map MAPFILE] [--unresolved 0.2] [--zipf 1.1] [--rate 20]

Client addresses come from a fixed pseudo-random set of DISTINCT public-looking
IPv4 addresses with Zipf-like popularity (the first few are very busy, most
are rare). A fraction --second of the lines carries a second address, either
in the referer URL or appended at the end of the line (as a forwarded-for
field). --map writes "address name" lines for the zone (tests/dns/nsdserve.py
reads them), leaving out a fraction --unresolved of the addresses so that
those get NXDOMAIN. The same arguments always give the same bytes.
"""

import argparse
import itertools
import random
import sys
import time

METHODS = ["GET"] * 20 + ["POST"] * 3 + ["HEAD", "PUT", "OPTIONS"]
STATUSES = [200] * 30 + [304] * 6 + [301, 302, 302, 404, 404, 404, 403, 500, 206]
SECTIONS = ["", "blog", "docs", "images", "static/css", "static/js", "api/v1",
            "products", "news/2024", "forum", "search", "account", "wp-content/uploads"]
WORDS = ["index", "about", "contact", "pricing", "release-notes", "faq", "install",
         "logo", "style", "main", "app", "item", "users", "login", "feed", "sitemap",
         "robots", "favicon", "archive", "download"]
EXTS = [".html", ".php", ".css", ".js", ".png", ".jpg", ".gif", ".xml", ".txt", "", "/"]
AGENTS = [
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/124.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/17.4 Safari/605.1.15",
    "Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 "
    "(KHTML, like Gecko) Version/17.4 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/124.0.0.0 Mobile Safari/537.36",
    "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
    "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)",
    "curl/8.5.0",
    "Wget/1.21.4",
    "python-requests/2.31.0",
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",
    "-",
]
REFERER_SITES = ["www.example.com", "search.example.net", "news.example.org",
                 "forum.example.info", "m.example.com"]
TAILS = 4000          # precomputed request/status/size/referer/agent combinations
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
CHUNK = 65536


def make_addresses(rng, count):
    seen = set()
    out = []
    while len(out) < count:
        a = rng.randrange(1, 224)
        if a in (10, 127, 169, 172, 192) and rng.random() < 0.9:
            continue  # mostly public-looking, a few private ones stay in
        if a in (0, 127):
            continue
        addr = "%d.%d.%d.%d" % (a, rng.randrange(256), rng.randrange(256), rng.randrange(1, 255))
        if addr not in seen:
            seen.add(addr)
            out.append(addr)
    return out


def make_path(rng):
    parts = [p for p in (rng.choice(SECTIONS), rng.choice(WORDS)) if p]
    path = "/" + "/".join(parts) + rng.choice(EXTS)
    if rng.random() < 0.15:
        path += "?id=%d&ref=%s" % (rng.randrange(100000), rng.choice(WORDS))
    return path


def make_tails(rng):
    """Text after the timestamp, without referer/agent for second-address use."""
    tails = []
    for _ in range(TAILS):
        status = rng.choice(STATUSES)
        size = 0 if status in (304, 204) else int(rng.lognormvariate(8, 1.5))
        req = '"%s %s HTTP/1.1" %d %d' % (rng.choice(METHODS), make_path(rng), status, size)
        if rng.random() < 0.4:
            ref = "-"
        else:
            ref = "https://%s%s" % (rng.choice(REFERER_SITES), make_path(rng))
        tails.append((req, ref, rng.choice(AGENTS)))
    return tails


def make_name(rng, addr, i):
    o = addr.split(".")
    style = i % 5
    if style == 0:
        return "host-%s.dsl.isp%d.example.net" % ("-".join(o), rng.randrange(40))
    if style == 1:
        return "%s.%s.cable.example-broadband.com" % (o[3], o[2])
    if style == 2:
        return "www%d.%s.example.org" % (rng.randrange(10), rng.choice(WORDS))
    if style == 3:
        return "crawl-%s.search.example.com" % "-".join(o)
    return "ip%s.%s.static.example.io" % ("".join("%03d" % int(x) for x in o), rng.choice(WORDS))


def timestamps(start, count):
    out = []
    for s in range(count):
        t = time.gmtime(start + s)
        out.append("%02d/%s/%04d:%02d:%02d:%02d +0000" % (
            t.tm_mday, MONTHS[t.tm_mon - 1], t.tm_year, t.tm_hour, t.tm_min, t.tm_sec))
    return out


def generate(args, out):
    rng = random.Random(args.seed)
    addrs = make_addresses(rng, args.distinct)
    tails = make_tails(rng)
    weights = list(itertools.accumulate(1.0 / (r + 1) ** args.zipf for r in range(len(addrs))))
    # Rank order is shuffled so the busiest addresses are not numerically close.
    ranked = addrs[:]
    rng.shuffle(ranked)
    if args.map:
        with open(args.map, "w") as m:
            for i, addr in enumerate(addrs):
                if rng.random() >= args.unresolved:
                    m.write("%s %s\n" % (addr, make_name(rng, addr, i)))
    stamps = timestamps(args.start, args.lines // args.rate + 2)
    prefix = [None] * len(tails)
    for i, (req, ref, agent) in enumerate(tails):
        prefix[i] = '] %s "%s" "%s"\n' % (req, ref, agent)
    done = 0
    while done < args.lines:
        n = min(CHUNK, args.lines - done)
        who = rng.choices(ranked, cum_weights=weights, k=n)
        tail_ix = rng.choices(range(len(tails)), k=n)
        lines = [None] * n
        for j in range(n):
            lines[j] = "%s - - [%s%s" % (who[j], stamps[(done + j) // args.rate], prefix[tail_ix[j]])
        extra = int(n * args.second + rng.random())
        if extra:
            for j, other in zip(rng.sample(range(n), extra),
                                rng.choices(ranked, cum_weights=weights, k=extra)):
                req, ref, agent = tails[tail_ix[j]]
                ts = stamps[(done + j) // args.rate]
                if j & 1:
                    lines[j] = '%s - - [%s] %s "http://%s/%s" "%s"\n' % (
                        who[j], ts, req, other, rng.choice(WORDS), agent)
                else:
                    lines[j] = '%s - - [%s] %s "%s" "%s" %s\n' % (who[j], ts, req, ref, agent, other)
        out.write("".join(lines))
        done += n


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", "--lines", type=int, default=100000)
    ap.add_argument("-d", "--distinct", type=int, default=10000)
    ap.add_argument("-s", "--seed", type=int, default=1)
    ap.add_argument("-o", "--output", help="output file (default stdout)")
    ap.add_argument("--second", type=float, default=0.05,
                    help="fraction of lines with a second address (default 0.05)")
    ap.add_argument("--map", help="write 'address name' lines for the zone here")
    ap.add_argument("--unresolved", type=float, default=0.2,
                    help="fraction of addresses left out of --map (default 0.2)")
    ap.add_argument("--zipf", type=float, default=1.1, help="popularity exponent (default 1.1)")
    ap.add_argument("--rate", type=int, default=20, help="lines per second of log time")
    ap.add_argument("--start", type=int, default=1704067200, help="first timestamp (Unix)")
    args = ap.parse_args()
    if args.distinct < 1 or args.lines < 0 or args.rate < 1:
        ap.error("need --distinct >= 1, --lines >= 0, --rate >= 1")
    if args.output:
        with open(args.output, "w", buffering=1 << 20) as out:
            generate(args, out)
    else:
        generate(args, sys.stdout)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
