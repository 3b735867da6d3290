-- One site's role, run by the table's owner for each site:
--   psql -d calls -v ON_ERROR_STOP=1 -v role=site17 -v site=zagreb -f ostraservice-site.sql
-- Then give it a password (psql: \password site17) for the site's passfile.
-- The site's configuration says site = "zagreb" and user=site17 in
-- "conninfo": a record under any other "site" is refused (answered 1).
-- Run again to move a role to another site.

SELECT NOT EXISTS (SELECT FROM pg_roles WHERE rolname = :'role') AS new_role \gset
\if :new_role
CREATE ROLE :"role" LOGIN;
\endif
GRANT INSERT, SELECT ON records TO :"role";
GRANT USAGE ON SEQUENCE records_id_seq TO :"role";
GRANT EXECUTE ON FUNCTION record_sites_of(name) TO :"role";
INSERT INTO record_sites(role, site) VALUES (:'role', :'site')
    ON CONFLICT (role) DO UPDATE SET site = EXCLUDED.site;
