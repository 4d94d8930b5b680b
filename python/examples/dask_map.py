"""The same as kelvo_fx.map_files, over a Dask cluster: one task per file,
for when one machine is not enough.

    python3 dask_map.py [--scheduler tcp://host:8786] OUT_DIR CHAIN_JSON FILE...

CHAIN_JSON is a chain as kelvo_fx.apply takes it, e.g.
'[["bloom", {"sigma": 8}], ["vignette", {}]]'. Without --scheduler a local
cluster is started. Each worker needs kelvo_fx importable and the files at
the same paths (a shared file system); tasks carry paths and the chain, never
pixels, so nothing large crosses the network but the files themselves.
"""
import argparse
import json
import os


def _process(in_path, out_path, chain):
    import kelvo_fx  # on the worker
    return kelvo_fx.process_file(in_path, out_path, chain)


def map_files_on(client, inputs, out_dir, chain):
    """Output paths in input order; the first failure is raised once every
    task has finished."""
    import kelvo_fx
    kelvo_fx.check_chain(chain)  # a bad chain fails here, not on every worker
    os.makedirs(out_dir, exist_ok=True)
    outputs = [os.path.join(out_dir, os.path.basename(p)) for p in inputs]
    if len(set(outputs)) != len(outputs):
        raise ValueError("two inputs share a file name")
    futures = client.map(_process, inputs, outputs, [chain] * len(inputs), pure=False)
    return client.gather(futures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("out_dir")
    parser.add_argument("chain", type=json.loads)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(dashboard_address=None))
    with client:
        for path in map_files_on(client, args.files, args.out_dir, args.chain):
            print(path)


if __name__ == "__main__":
    main()
