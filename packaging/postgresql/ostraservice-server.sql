-- The server's side of many sites storing into one PostgreSQL database,
-- run once by the table's owner (and again after an upgrade: it changes
-- nothing that is already there):
--   createdb calls
--   psql -d calls -v ON_ERROR_STOP=1 -f ostraservice-server.sql
-- Then one role per site: ostraservice-site.sql.
--
-- Every site may add rows and read its own, and no other site's: row-level
-- security on "site", by the table record_sites that says which site each
-- role stores as. The owner (and any role with BYPASSRLS) sees every row.

CREATE TABLE IF NOT EXISTS records(id bigserial PRIMARY KEY, time timestamptz NOT NULL,
    type integer NOT NULL, tag integer NOT NULL, entries jsonb NOT NULL,
    entry_order text[] NOT NULL, service text NOT NULL, host text NOT NULL,
    site text NOT NULL, seq bigint NOT NULL, idempotencykey text);
CREATE UNIQUE INDEX IF NOT EXISTS records_record_key ON records(service, host, site, seq);
CREATE UNIQUE INDEX IF NOT EXISTS records_by_idempotencykey
    ON records(service, host, site, idempotencykey) WHERE idempotencykey IS NOT NULL;
CREATE INDEX IF NOT EXISTS records_by_site ON records(site);

-- Which site each role stores as. Only the owner changes it.
CREATE TABLE IF NOT EXISTS record_sites(role name PRIMARY KEY, site text NOT NULL);
REVOKE ALL ON record_sites FROM PUBLIC;

-- The sites of a role, read with the owner's rights, so that a site's role
-- needs no right on record_sites and cannot read who else stores here.
CREATE OR REPLACE FUNCTION record_sites_of(who name) RETURNS text[]
    LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    AS $$ SELECT coalesce(array_agg(site), '{}') FROM public.record_sites WHERE role = who $$;
REVOKE ALL ON FUNCTION record_sites_of(name) FROM PUBLIC;

ALTER TABLE records ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS records_of_own_site ON records;
CREATE POLICY records_of_own_site ON records
    USING (site = ANY (record_sites_of(current_user)))
    WITH CHECK (site = ANY (record_sites_of(current_user)));
