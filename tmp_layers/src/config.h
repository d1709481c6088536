// included
