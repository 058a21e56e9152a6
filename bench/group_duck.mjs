// Per-client summaries in DuckDB: load JOBS_CSV into a table, then GROUP BY client with the
// count, the count per status and the sums of size and files, written as CSV sorted by client.
// Environment: JOBS_CSV, DUCK_OUT, THREADS (default 1), ROUNDS (default 1). Prints
// "group WALL CPU" per round (seconds; CPU of the whole process, every thread).
import { DuckDBInstance } from '@duckdb/node-api';
const inst = await DuckDBInstance.create(':memory:', { threads: process.env.THREADS || '1' });
const con = await inst.connect();
const tl0 = performance.now();
await con.run(`create table jobs as select * from read_csv('${process.env.JOBS_CSV}')`);
console.log(`load ${((performance.now() - tl0) / 1000).toFixed(4)}`);
for (let r = 0; r < Number(process.env.ROUNDS || 1); r++) {
  const t0 = performance.now();
  const c0 = process.cpuUsage();
  await con.run(`copy (select client, count(*),
      count(*) filter (where status = 'Cancelled'), count(*) filter (where status = 'Failed'),
      count(*) filter (where status = 'OK'), count(*) filter (where status = 'Warning'),
      sum(size), sum(files) from jobs group by client order by client)
    to '${process.env.DUCK_OUT}' (header false)`);
  const c1 = process.cpuUsage(c0);
  console.log(`group ${((performance.now() - t0) / 1000).toFixed(4)} ${((c1.user + c1.system) / 1e6).toFixed(4)}`);
}
