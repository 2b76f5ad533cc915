#!/usr/bin/env python3
# Firefox's part of the browsers' policy: lets the pages of the given sites
# reach the Penmora service on this computer without asking the person, by
# listing their host names in the enterprise policy LocalNetworkAccess,
# SkipDomains, of Firefox's policies.json. The file may hold other policies,
# and other host names in the same list: they stay as they are. The names
# this script added are kept beside it in penmora-skip-domains, so that a new
# list replaces them and "remove" takes out just those.
# Usage: firefox_policy.py set POLICY_FOLDER ORIGIN...   write (replaces our names)
#        firefox_policy.py remove POLICY_FOLDER          take our names out
#        firefox_policy.py print ORIGIN...               the host names, one a line
import json
import os
import re
import sys

OURS = 'penmora-skip-domains'
ORIGIN = re.compile(r'^https?://(\[\*\.\])?([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:[0-9]{1,5})?/?$')


def host_of(origin):
    """The host name Firefox's SkipDomains takes for an origin; [*.]x is *.x."""
    match = ORIGIN.match(origin)
    if not match:
        raise ValueError(f'"{origin}" is not an origin such as https://app.example.com')
    return ('*.' if match.group(1) else '') + match.group(2).lower()


def read_json(path):
    try:
        with open(path, encoding='utf-8') as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def write_atomically(path, text):
    temporary = path + '.tmp'
    with open(temporary, 'w', encoding='utf-8') as f:
        f.write(text)
    os.chmod(temporary, 0o644)
    os.replace(temporary, path)


def read_ours(folder):
    try:
        with open(os.path.join(folder, OURS), encoding='utf-8') as f:
            return [line.strip() for line in f if line.strip()]
    except FileNotFoundError:
        return []


def update(folder, hosts):
    """Puts `hosts` in place of the names added before; none: removes them."""
    path = os.path.join(folder, 'policies.json')
    document = read_json(path)
    if document is None and not hosts:
        return False
    if document is None:
        document = {}
    if not isinstance(document, dict) or not isinstance(document.setdefault('policies', {}), dict):
        raise ValueError(f'{path} is not a policies file ({{"policies": {{...}}}})')
    policies = document['policies']
    access = policies.get('LocalNetworkAccess', {})
    if not isinstance(access, dict):
        raise ValueError(f'{path}: LocalNetworkAccess is not an object')
    previous = set(read_ours(folder))
    kept = [name for name in access.get('SkipDomains', []) if name not in previous]
    added = [name for name in hosts if name not in kept]
    skip = kept + added
    if skip:
        access['SkipDomains'] = skip
    else:
        access.pop('SkipDomains', None)
    if access:
        policies['LocalNetworkAccess'] = access
    else:
        policies.pop('LocalNetworkAccess', None)
    if policies or len(document) > 1:
        write_atomically(path, json.dumps(document, indent=2, ensure_ascii=False) + '\n')
    elif os.path.exists(path):
        os.remove(path)
    ours = os.path.join(folder, OURS)
    if added:
        write_atomically(ours, ''.join(name + '\n' for name in added))
    elif os.path.exists(ours):
        os.remove(ours)
    return True


def main(argv):
    if len(argv) >= 2 and argv[0] == 'print':
        for origin in argv[1:]:
            print(host_of(origin))
        return 0
    if len(argv) >= 3 and argv[0] == 'set':
        hosts = []
        for origin in argv[2:]:
            name = host_of(origin)
            if name not in hosts:
                hosts.append(name)
        os.makedirs(argv[1], exist_ok=True)
        update(argv[1], hosts)
        print(f'installed {os.path.join(argv[1], "policies.json")}')
        return 0
    if len(argv) == 2 and argv[0] == 'remove':
        if update(argv[1], []):
            print(f'removed Penmora\'s sites from {os.path.join(argv[1], "policies.json")}')
        return 0
    print('usage: firefox_policy.py set FOLDER ORIGIN... | remove FOLDER | print ORIGIN...',
          file=sys.stderr)
    return 2


if __name__ == '__main__':
    try:
        sys.exit(main(sys.argv[1:]))
    except (ValueError, OSError, json.JSONDecodeError) as e:
        print(f'firefox_policy.py: {e}', file=sys.stderr)
        sys.exit(1)
